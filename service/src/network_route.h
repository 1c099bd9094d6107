#pragma once
// How requests to the remote services leave the store's network: through an HTTP proxy or
// directly, and which certificate authorities they trust besides the system's. Both clients
// (the monitoring service's and the object store's) decide the same way. Stateless.

#include <cstdint>
#include <optional>
#include <string>

#include "config_map.h"

namespace korvane::Engine::Sync {

struct ProxyServer {
    std::string host;
    std::uint16_t port = 0;
    std::string user;  // empty: no proxy authentication
    std::string password;

    // "host:port", for log lines: never the credentials.
    std::string address() const;
};

// The optional keys network_proxy and tls_ca_file, empty when absent.
struct NetworkSettings {
    std::string proxy;   // "http://[user:password@]host:port"; empty: the environment decides
    std::string caFile;  // a PEM bundle trusted besides the system's store; empty: none
};

NetworkSettings readNetworkSettings(const Utils::ConfigMap& config);

// The proxy for a request to scheme://host: the configured one when set; otherwise
// https_proxy (or HTTPS_PROXY) for https and http_proxy (or HTTP_PROXY) for http, unless
// no_proxy (or NO_PROXY) names the host: "*", the host itself, or a domain it ends in
// ("example.com" and ".example.com" both cover "a.example.com"). nullopt: connect directly.
// Throws std::invalid_argument naming the source when a proxy is not http://host[:port] with
// optional user:password@ (the message never holds the password).
std::optional<ProxyServer> proxyFor(const std::string& configured, const std::string& scheme,
                                    const std::string& host);

// Reads one proxy text as proxyFor does; a text without a scheme is taken as http://.
ProxyServer parseProxy(const std::string& text, const std::string& source);

// caFile when it names a readable regular file holding a PEM certificate (or is empty);
// otherwise "" after an error line saying why and that the system's authorities alone are
// trusted.
std::string readableCaFile(const std::string& caFile);

// Whether a no_proxy list exempts host.
bool exemptFromProxy(const std::string& noProxy, const std::string& host);

}  // namespace korvane::Engine::Sync
