#include "monitoring_configuration.h"

#include <Poco/Exception.h>
#include <Poco/String.h>
#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <string_view>

#include "logger.h"
#include "service_backoff.h"

namespace korvane::Engine {

namespace {

constexpr std::array<std::string_view, 7> kRequiredKeys = {
    "monitoring_service_type",          "monitoring_service_address",
    "monitoring_service_port",          "monitoring_getting_tasks",
    "recognition_image_sending_enable", "monitoring_request_frequency",
    "korvane_monitoring_client_secret"};

const Poco::Dynamic::Var& lookup(const Utils::ConfigMap& config, const std::string& key,
                                 const std::string& typeError) {
    auto it = config.find(key);
    if (it == config.end()) throw std::runtime_error(typeError + key);
    return it->second;
}

bool isSignedInteger(const Poco::Dynamic::Var& v) {
    return v.isInteger() && v.isSigned();
}

}  // namespace

std::string readConfigString(const Utils::ConfigMap& config, const std::string& key) {
    const std::string error = "Expected string for config key: ";
    const auto& value = lookup(config, key, error);
    if (!value.isString()) throw std::runtime_error(error + key);
    return value.extract<std::string>();
}

bool readConfigBool(const Utils::ConfigMap& config, const std::string& key) {
    const auto& value = lookup(config, key, "Expected bool/int/string for config key: ");
    if (value.isBoolean()) return value.extract<bool>();
    if (value.isInteger()) return value.convert<std::int64_t>() != 0;
    if (value.isString()) {
        const std::string text = Poco::toLower(value.extract<std::string>());
        if (text == "1" || text == "true") return true;
        if (text == "0" || text == "false") return false;
        throw std::runtime_error("Expected boolean string for key: " + key);
    }
    throw std::runtime_error("Expected bool/int/string for config key: " + key);
}

std::int64_t readConfigInt64(const Utils::ConfigMap& config, const std::string& key) {
    const std::string error = "Expected integer64 for config key: ";
    const auto& value = lookup(config, key, error);
    if (!value.isInteger() ||
        (!isSignedInteger(value) && value.convert<std::uint64_t>() > std::uint64_t(INT64_MAX))) {
        throw std::runtime_error(error + key);
    }
    return value.convert<std::int64_t>();
}

MonitoringConfiguration readMonitoringConfiguration(const Utils::ConfigMap& config) {
    for (auto key : kRequiredKeys) {
        if (!config.contains(std::string(key))) {
            throw std::runtime_error("Missing required config key: " + std::string(key));
        }
    }
    MonitoringConfiguration s;
    s.serviceType = readConfigString(config, "monitoring_service_type");
    s.address = readConfigString(config, "monitoring_service_address");
    s.port = readConfigString(config, "monitoring_service_port");
    s.gettingTasks = readConfigBool(config, "monitoring_getting_tasks");
    s.imageSendingEnabled = readConfigBool(config, "recognition_image_sending_enable");
    s.requestFrequencyMs = readConfigInt64(config, "monitoring_request_frequency");
    s.clientSecret = readConfigString(config, "korvane_monitoring_client_secret");
    s.deviceId = readConfigString(config, "korvane_monitoring_device_id");
    s.predictionDataFolder = readConfigString(config, "product_prediction_data_folder_path");
    s.fileStorageAddress = readConfigString(config, "file_storage_service_address");
    s.fileStorageBucket = readConfigString(config, "file_storage_service_bucket");
    s.fileStorageLogin = readConfigString(config, "file_storage_service_login");
    s.fileStoragePassword = readConfigString(config, "file_storage_service_password");
    if (config.contains("tls_verify_peer"))
        s.tlsVerifyPeer = readConfigBool(config, "tls_verify_peer");
    return s;
}

int readPortNumber(const std::string& text, const std::string& key) {
    const bool digits =
        !text.empty() && text.size() <= 5 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    const int port = digits ? std::stoi(text) : 0;
    if (port < 1 || port > 65535) {
        throw std::invalid_argument("Expected port number for config key: " + key);
    }
    return port;
}

void checkConfigurationChange(Utils::ConfigMap current, const Poco::JSON::Object::Ptr& changes) {
    checkLocalApiAddress(changes);
    for (const auto& [key, value] : *changes) current[key] = value;
    validateRuntimeConfiguration(current);
}

void checkLocalApiAddress(const Poco::JSON::Object::Ptr& changes) {
    constexpr const char* kKey = "local_api_address";
    if (!changes->has(kKey)) return;
    const Poco::Dynamic::Var value = changes->get(kKey);
    if (value.isString() && value.extract<std::string>().empty()) return;  // all interfaces
    const std::string text = value.isEmpty() ? std::string("null") : value.toString();
    if (!value.isString() || !isDottedQuad(text)) {
        throw std::invalid_argument("Expected a dotted-quad IPv4 address for config key " +
                                    std::string(kKey) + ": '" + text + "'");
    }
}

bool isDottedQuad(const std::string& text) {
    in_addr parsed{};
    // inet_pton takes dotted quads only, unlike inet_aton's shorthand forms ("1", "127.1").
    return ::inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

MonitoringConfiguration validateRuntimeConfiguration(const Utils::ConfigMap& config) {
    MonitoringConfiguration settings = readMonitoringConfiguration(config);
    if (auto it = config.find("device_port"); it != config.end() && it->second.isString()) {
        readPortNumber(it->second.extract<std::string>(), "device_port");
    }
    if (!settings.address.empty()) readPortNumber(settings.port, "monitoring_service_port");
    if (config.contains("images_max_mb") && readConfigInt64(config, "images_max_mb") < 0) {
        throw std::invalid_argument(
            "Expected a non-negative integer for config key: images_max_mb");
    }
    return settings;
}

std::chrono::seconds readBackoffCap(const Utils::ConfigMap& config) {
    constexpr const char* kKey = "monitoring_backoff_max_s";
    const auto found = config.find(kKey);
    if (found == config.end() || found->second.isEmpty()) return Sync::ServiceBackoff::kDefaultCap;
    try {
        const auto seconds = found->second.convert<long long>();
        if (seconds >= 0 &&
            found->second.toString().find_first_not_of("0123456789") == std::string::npos) {
            return std::chrono::seconds(seconds);
        }
    } catch (const Poco::Exception&) {
    }
    Log()->warn("{} is not a whole number of seconds; {} s are used;", kKey,
                Sync::ServiceBackoff::kDefaultCap.count());
    return Sync::ServiceBackoff::kDefaultCap;
}

}  // namespace korvane::Engine
