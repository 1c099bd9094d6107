#pragma once
// AWS Signature Version 4 (AWS4-HMAC-SHA256) for object store requests whose body goes
// unsigned. The caller gives the time to sign with, so a request can carry the services'
// clock rather than this machine's. Immutable once built: any thread may sign at any time.

#include <chrono>
#include <string>
#include <vector>

namespace korvane::Engine::Sync {

struct SigV4Request {
    std::string method;          // "PUT", "GET", ...
    std::string host;            // the Host header exactly as it is sent
    std::string canonicalUri;    // the path exactly as it is sent, already percent-encoded
    std::string canonicalQuery;  // the query as sent, in canonical order; "" for none
};

class SigV4Signer {
  public:
    SigV4Signer(std::string accessKey, std::string secretKey, std::string region,
                std::string service);

    // The header lines ("Name: value") that make the request signed at time: Host,
    // x-amz-content-sha256 (UNSIGNED-PAYLOAD), x-amz-date and Authorization.
    std::vector<std::string> sign(const SigV4Request& request,
                                  std::chrono::system_clock::time_point time) const;

  private:
    std::string accessKey_;
    std::string secretKey_;
    std::string region_;
    std::string service_;
};

}  // namespace korvane::Engine::Sync
