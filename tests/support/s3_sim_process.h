#pragma once
// The Node.js object store simulator run as a child process on a free loopback port, over HTTP
// or HTTPS, with its control API (objects, counters, scripted faults). One per test, used from
// the test's thread; stopped with the object.

#include <boost/json/object.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http_client.h"

namespace korvane::Testing {

class ChildProcess;

class S3SimProcess {
  public:
    struct Credentials {
        std::string bucket = "pellix-bucket";
        std::string accessKey = "AKIASIMULATOR7731";
        std::string secretKey = "Sim/Secret+Key=4f9a1c";
    };

    // PEM files for serving HTTPS; the control requests then trust caFile.
    struct Tls {
        std::string certificateFile;
        std::string privateKeyFile;
        std::string caFile;
    };

    // script: the simulator's server.js; workDir receives its output files; arguments: more
    // of server.js's options, e.g. {"--max-skew-s", "60"}. Throws when it does not report its
    // port within 15 s.
    S3SimProcess(const std::string& script, const std::string& workDir, Credentials credentials,
                 std::optional<Tls> tls, std::vector<std::string> arguments = {});
    S3SimProcess(const std::string& script, const std::string& workDir, Credentials credentials);
    S3SimProcess(const std::string& script, const std::string& workDir);
    ~S3SimProcess();
    S3SimProcess(const S3SimProcess&) = delete;
    S3SimProcess& operator=(const S3SimProcess&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:port", or https with Tls.
    std::string endpoint() const;
    const Credentials& credentials() const { return credentials_; }

    // A control request under /_sim/; throws unless it answers 200 with a JSON object.
    boost::json::object control(const std::string& method, const std::string& path,
                                const std::string& body = "") const;
    // A counter of /_sim/stats ("requests", "rejectedSignatures", "skewRefusals").
    std::int64_t stat(const char* name) const;
    // Key to size of every stored object.
    std::map<std::string, std::int64_t> objects() const;
    // The bytes of one object; empty when it is absent.
    std::string object(const std::string& key) const;
    // A fault plan as /_sim/fault takes it, e.g. {"down":true} or {"clear":true}.
    void fault(const std::string& plan) const;

  private:
    // One request to the simulator itself, over TLS when it serves TLS.
    HttpResult request(const std::string& method, const std::string& path,
                       const std::string& body) const;

    Credentials credentials_;
    std::optional<Tls> tls_;
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t port_ = 0;
};

}  // namespace korvane::Testing
