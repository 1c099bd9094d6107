#include "monitoring_configuration.h"

#include <gtest/gtest.h>

#include <stdexcept>

using korvane::Utils::ConfigMap;
using namespace korvane::Engine;

namespace {

ConfigMap completeConfig() {
    return {
        {"monitoring_service_type", std::string("KORVANE_MONITORING")},
        {"monitoring_service_address", std::string("https://monitoring.example")},
        {"monitoring_service_port", std::string("443")},
        {"monitoring_getting_tasks", true},
        {"recognition_image_sending_enable", true},
        {"monitoring_request_frequency", 20000},
        {"korvane_monitoring_client_secret", std::string("s")},
        {"korvane_monitoring_device_id", std::string("")},
        {"product_prediction_data_folder_path", std::string("/tmp/images")},
        {"file_storage_service_address", std::string("https://s3.example")},
        {"file_storage_service_bucket", std::string("b")},
        {"file_storage_service_login", std::string("l")},
        {"file_storage_service_password", std::string("p")},
    };
}

std::string errorOf(const ConfigMap& config) {
    try {
        readMonitoringConfiguration(config);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(MonitoringConfiguration, ReadsACompleteConfiguration) {
    auto s = readMonitoringConfiguration(completeConfig());
    EXPECT_EQ(s.address, "https://monitoring.example");
    EXPECT_TRUE(s.gettingTasks);
    EXPECT_EQ(s.requestFrequencyMs, 20000);
    EXPECT_EQ(s.fileStoragePassword, "p");
}

TEST(MonitoringConfiguration, BoolRules) {
    struct Case {
        Poco::Dynamic::Var value;
        bool expected;
        std::string error;
    } cases[] = {
        {true, true, ""},
        {false, false, ""},
        {0, false, ""},
        {7, true, ""},
        {std::string("TRUE"), true, ""},
        {std::string("False"), false, ""},
        {std::string("1"), true, ""},
        {std::string("0"), false, ""},
        {std::string("yes"), false, "Expected boolean string for key: monitoring_getting_tasks"},
        {1.5, false, "Expected bool/int/string for config key: monitoring_getting_tasks"},
    };
    for (const auto& c : cases) {
        auto config = completeConfig();
        config["monitoring_getting_tasks"] = c.value;
        if (c.error.empty()) {
            EXPECT_EQ(readMonitoringConfiguration(config).gettingTasks, c.expected)
                << c.value.toString();
        } else {
            EXPECT_EQ(errorOf(config), c.error);
        }
    }
}

TEST(MonitoringConfiguration, ReportsTheFirstMissingOrMistypedKey) {
    auto missing = completeConfig();
    missing.erase("monitoring_service_port");
    missing.erase("korvane_monitoring_client_secret");
    EXPECT_EQ(errorOf(missing), "Missing required config key: monitoring_service_port");

    auto optionalAbsent = completeConfig();
    optionalAbsent.erase("file_storage_service_bucket");
    EXPECT_EQ(errorOf(optionalAbsent),
              "Expected string for config key: file_storage_service_bucket");

    auto wrongString = completeConfig();
    wrongString["monitoring_service_port"] = 443;
    EXPECT_EQ(errorOf(wrongString), "Expected string for config key: monitoring_service_port");

    auto wrongInteger = completeConfig();
    wrongInteger["monitoring_request_frequency"] = std::string("30000");
    EXPECT_EQ(errorOf(wrongInteger),
              "Expected integer64 for config key: monitoring_request_frequency");

    auto int64Value = completeConfig();
    int64Value["monitoring_request_frequency"] = Poco::Int64(30000);
    EXPECT_EQ(readMonitoringConfiguration(int64Value).requestFrequencyMs, 30000);
}

TEST(MonitoringConfiguration, TlsVerificationIsOnUnlessSwitchedOff) {
    auto config = completeConfig();
    EXPECT_TRUE(readMonitoringConfiguration(config).tlsVerifyPeer);
    config["tls_verify_peer"] = std::string("false");
    EXPECT_FALSE(readMonitoringConfiguration(config).tlsVerifyPeer);
    config["tls_verify_peer"] = std::string("sometimes");
    EXPECT_EQ(errorOf(config), "Expected boolean string for key: tls_verify_peer");
}

TEST(MonitoringConfiguration, RuntimeCheckRefusesPortsThatAreNotNumbers) {
    const auto errorOfRuntime = [](const ConfigMap& config) -> std::string {
        try {
            validateRuntimeConfiguration(config);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    };
    auto config = completeConfig();
    EXPECT_EQ(errorOfRuntime(config), "");
    for (const char* port : {"", "80x", "x80", "0", "65536", "-1", "4433333"}) {
        config["monitoring_service_port"] = std::string(port);
        EXPECT_EQ(errorOfRuntime(config),
                  "Expected port number for config key: monitoring_service_port")
            << port;
    }
    // With monitoring off its port is never read.
    config["monitoring_service_address"] = std::string("");
    EXPECT_EQ(errorOfRuntime(config), "");
    config["local_api_address"] = std::string("localhost");  // as an older version stored it
    Poco::JSON::Object::Ptr change = new Poco::JSON::Object;
    EXPECT_NO_THROW(checkConfigurationChange(config, change));
    for (std::string ip : {"10.0.0.300", "127.1", "localhost", "1.2.3.4 ", "", "192.168.1.20"}) {
        change->set("local_api_address", ip);
        if (ip.empty() || ip == "192.168.1.20")
            EXPECT_NO_THROW(checkConfigurationChange(config, change)) << ip;
        else
            EXPECT_THROW(checkConfigurationChange(config, change), std::invalid_argument) << ip;
    }
    config["device_port"] = std::string("eighty");
    EXPECT_EQ(errorOfRuntime(config), "Expected port number for config key: device_port");
    EXPECT_EQ(readPortNumber("65535", "k"), 65535);
}
