#pragma once
// Single requests to one bucket of an S3-compatible object store: path-style addressing,
// Signature V4 with a static key pair stamped with the services' clock, whole objects only,
// directly or through the store network's proxy. Owned by S3ClientProvider. Every member may
// be called from several threads at once: each request uses its own connection.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "network_route.h"
#include "repeat_limiter.h"

namespace korvane::Engine::Sync {

// How one PutObject went.
struct PutOutcome {
    bool stored = false;     // the store answered 2xx
    bool contacted = false;  // a request went out (false: the file could not be read, or the
                             // proxy setting is unusable)
    long status = 0;         // the store's HTTP status; 0 when it could not be reached
};

class S3ClientWrapper {
  public:
    // endpoint is "[http://|https://]host[:port][/path]"; without a scheme HTTPS is used.
    // HTTPS always verifies the certificate and the host name, against the system's
    // certificate authorities and those of network.caFile (which must be readable).
    S3ClientWrapper(std::string endpoint, std::string bucket, std::string accessKey,
                    std::string secretKey, NetworkSettings network = {});
    ~S3ClientWrapper();
    S3ClientWrapper(const S3ClientWrapper&) = delete;
    S3ClientWrapper& operator=(const S3ClientWrapper&) = delete;

    // Streams the regular file at localPath to the object key. Not stored when the file cannot
    // be opened or the store did not answer 2xx (the cause is logged). A refusal for a skewed
    // clock is sent again at once with the store's time. Throws std::runtime_error only when
    // no request can be set up at all.
    PutOutcome PutObject(const std::string& localPath, const std::string& key) const;

    // The whole object; an empty vector (and an error log line) on any failure.
    std::vector<std::uint8_t> GetObjectData(const std::string& key) const;

    // endpoint without its trailing dots and slashes + "/" + bucket + "/" + key, unencoded.
    std::string GetObjectUrl(const std::string& key) const;

  private:
    struct Client;

    // Writes "<operation> failed: <name> - <message>", once a minute while it repeats.
    void logFailure(const char* operation, const std::string& name,
                    const std::string& message) const;

    std::unique_ptr<const Client> client_;
    std::string endpoint_;
    std::string bucket_;
    mutable RepeatLimiter failureLog_;
};

}  // namespace korvane::Engine::Sync
