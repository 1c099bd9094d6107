#include "network_route.h"

#include <Poco/Exception.h>
#include <Poco/String.h>
#include <Poco/URI.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "logger.h"

namespace korvane::Engine::Sync {

namespace {

std::string configText(const Utils::ConfigMap& config, const std::string& key) {
    const auto found = config.find(key);
    if (found == config.end() || found->second.isEmpty()) return {};
    return Poco::trim(found->second.toString());
}

// The first of the variables that is set and not empty.
std::string environmentValue(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

bool endsWithDomain(const std::string& host, std::string domain) {
    if (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
    if (domain.empty()) return false;
    if (Poco::icompare(host, domain) == 0) return true;
    return host.size() > domain.size() && host[host.size() - domain.size() - 1] == '.' &&
           Poco::icompare(host.substr(host.size() - domain.size()), domain) == 0;
}

}  // namespace

std::string ProxyServer::address() const {
    return host + ":" + std::to_string(port);
}

NetworkSettings readNetworkSettings(const Utils::ConfigMap& config) {
    return {configText(config, "network_proxy"), configText(config, "tls_ca_file")};
}

ProxyServer parseProxy(const std::string& text, const std::string& source) {
    const std::string full = text.find("://") == std::string::npos ? "http://" + text : text;
    Poco::URI uri;
    try {
        uri = Poco::URI(full);
    } catch (const Poco::Exception&) {
        throw std::invalid_argument(source +
                                    " is not a proxy address of the form "
                                    "http://[user:password@]host:port");
    }
    if (Poco::icompare(uri.getScheme(), "http") != 0 || uri.getHost().empty() ||
        (!uri.getPath().empty() && uri.getPath() != "/")) {
        throw std::invalid_argument(source +
                                    " is not a proxy address of the form "
                                    "http://[user:password@]host:port");
    }
    ProxyServer proxy;
    proxy.host = uri.getHost();
    proxy.port = uri.getPort();
    // A password holding ":" or "@" comes percent-encoded, as in any URL.
    const std::string& userInfo = uri.getUserInfo();
    const auto colon = userInfo.find(':');
    Poco::URI::decode(userInfo.substr(0, colon), proxy.user);
    if (colon != std::string::npos) Poco::URI::decode(userInfo.substr(colon + 1), proxy.password);
    return proxy;
}

namespace {

// Why a CA bundle cannot serve, or "" when it can: the clients would only fail each request
// later, with a less telling reason.
std::string unusableCaFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::strerror(errno);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return "it is not a regular file";
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (file.bad()) return std::strerror(errno);
    if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        return "it holds no PEM certificate";
    }
    return {};
}

}  // namespace

std::string readableCaFile(const std::string& caFile) {
    if (caFile.empty()) return caFile;
    const std::string reason = unusableCaFile(caFile);
    if (reason.empty()) return caFile;
    Log()->error(
        "tls_ca_file {} cannot be read: {}; the system's certificate authorities alone are "
        "trusted;",
        caFile, reason);
    return {};
}

bool exemptFromProxy(const std::string& noProxy, const std::string& host) {
    std::string_view rest = noProxy;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string entry = Poco::trim(std::string(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (entry == "*") return true;
        // A port in an entry ("host:8080") does not narrow it here.
        if (const auto port = entry.rfind(':');
            port != std::string::npos && entry.find(':') == port) {
            entry.erase(port);
        }
        if (endsWithDomain(host, entry)) return true;
    }
    return false;
}

std::optional<ProxyServer> proxyFor(const std::string& configured, const std::string& scheme,
                                    const std::string& host) {
    if (!configured.empty()) return parseProxy(configured, "network_proxy");
    const bool https = Poco::icompare(scheme, "https") == 0;
    const std::string fromEnvironment = https ? environmentValue({"https_proxy", "HTTPS_PROXY"})
                                              : environmentValue({"http_proxy", "HTTP_PROXY"});
    if (fromEnvironment.empty()) return std::nullopt;
    if (exemptFromProxy(environmentValue({"no_proxy", "NO_PROXY"}), host)) return std::nullopt;
    return parseProxy(fromEnvironment, https ? "https_proxy" : "http_proxy");
}

}  // namespace korvane::Engine::Sync
