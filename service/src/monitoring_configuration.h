#pragma once
// The monitoring settings read from the configuration map with the typed reading rules the
// Server applies before it builds the monitoring machinery. Stateless.

#include <Poco/JSON/Object.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "config_map.h"

namespace korvane::Engine {

struct MonitoringConfiguration {
    std::string serviceType;
    std::string address;
    std::string port;
    bool gettingTasks = false;
    bool imageSendingEnabled = false;
    std::int64_t requestFrequencyMs = 0;
    std::string clientSecret;
    std::string deviceId;
    std::string predictionDataFolder;
    std::string fileStorageAddress;
    std::string fileStorageBucket;
    std::string fileStorageLogin;
    std::string fileStoragePassword;
    // Certificate and host name checks of the https monitoring service; off only when the
    // configuration says so (a site with a self-signed certificate).
    bool tlsVerifyPeer = true;
};

// Throws std::runtime_error naming the first missing required key or the first value of the
// wrong type ("Missing required config key: ...", "Expected string for config key: ...", ...).
MonitoringConfiguration readMonitoringConfiguration(const Utils::ConfigMap& config);

// Everything a rebuild of the runtime components reads: the monitoring configuration above,
// the camera's device_port when present, the monitoring service port unless monitoring is
// off (empty address), and images_max_mb (a non-negative integer) when present. Throws
// std::runtime_error or std::invalid_argument with the reason.
MonitoringConfiguration validateRuntimeConfiguration(const Utils::ConfigMap& config);

// validateRuntimeConfiguration of current with changes applied, and checkLocalApiAddress of
// the changes: whether storing them would leave the Agent able to rebuild its components and
// listen where it was told. Throws with the reason.
void checkConfigurationChange(Utils::ConfigMap current, const Poco::JSON::Object::Ptr& changes);

// The local_api_address among changes, when present and not empty, must be a dotted-quad IPv4
// address: stored mistyped, it would leave the API on loopback alone at the next start. Throws
// std::invalid_argument naming the key and the value. Only changes are checked, so that a value
// stored by an older version does not block unrelated ones.
void checkLocalApiAddress(const Poco::JSON::Object::Ptr& changes);
// Whether text is an IPv4 address in dotted-quad form (not a shorthand such as "127.1").
bool isDottedQuad(const std::string& text);

// The whole text must be a port number, 1 to 65535 ("80x" is not read as 80); throws
// std::invalid_argument naming the key otherwise.
int readPortNumber(const std::string& text, const std::string& key);

// The typed reading rules, one value at a time; same errors as above.
std::string readConfigString(const Utils::ConfigMap& config, const std::string& key);
bool readConfigBool(const Utils::ConfigMap& config, const std::string& key);
std::int64_t readConfigInt64(const Utils::ConfigMap& config, const std::string& key);

// monitoring_backoff_max_s, the longest wait after failures of the monitoring service and the
// object store: the default when absent, and (with a warning) when not a whole number of
// seconds.
std::chrono::seconds readBackoffCap(const Utils::ConfigMap& config);

}  // namespace korvane::Engine
