#pragma once
// The Agent's access to object storage: uploads with one retry and optional removal of the
// local file, downloads, and the public URL of an uploaded object. A store that fails (5xx,
// 429, no answer) is left alone for a backoff wait, as the monitoring service is; uploads asked
// for meanwhile fail at once. Requests take the store network's proxy and trust its private
// certificate authority as configured. Created by the monitoring set-up and shared with the
// monitoring loop and the task handlers, which may call it at the same time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "contact_gate.h"
#include "network_route.h"
#include "repeat_limiter.h"

namespace korvane::Engine::Sync {

class S3ClientWrapper;

class S3ClientProvider {
  public:
    // login and password are the store's access key and secret key; neither is ever logged.
    // backoffCap bounds the wait after failures; 0 never waits. A network.caFile that cannot
    // be read is logged and left out: the system's authorities alone are trusted then.
    S3ClientProvider(const std::string& endpoint, const std::string& bucket,
                     const std::string& login, const std::string& password,
                     std::chrono::seconds backoffCap = std::chrono::seconds(0),
                     NetworkSettings network = {});
    ~S3ClientProvider();
    S3ClientProvider(const S3ClientProvider&) = delete;
    S3ClientProvider& operator=(const S3ClientProvider&) = delete;

    // Uploads localPath as key, trying twice. On success url receives the object's URL and,
    // with deleteLocal, the local file is removed (a failed removal is only logged); returns
    // true. False after two failed attempts, url then untouched, and at once while the store
    // is left alone after failures.
    bool uploadFile(const std::string& localPath, const std::string& key, std::string& url,
                    bool deleteLocal);

    // The whole object, or an empty vector when it could not be fetched.
    std::vector<std::uint8_t> downloadFile(const std::string& key);

  private:
    std::unique_ptr<S3ClientWrapper> wrapper_;
    std::string bucketName_;
    ContactGate gate_;
    RepeatLimiter deferredLog_;
};

}  // namespace korvane::Engine::Sync
