#include "s3_client_provider.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "logger.h"
#include "s3_client_wrapper.h"

namespace korvane::Engine::Sync {

namespace {
constexpr int kUploadAttempts = 2;
constexpr auto kPauseAfterException = std::chrono::milliseconds(300);

// The settings the requests use: a CA bundle that cannot serve is dropped.
NetworkSettings usableNetwork(NetworkSettings network) {
    network.caFile = readableCaFile(network.caFile);
    if (!network.caFile.empty()) {
        Log()->info(
            "Object store certificates are checked against {} besides the system's "
            "certificate authorities;",
            network.caFile);
    }
    return network;
}
}  // namespace

S3ClientProvider::S3ClientProvider(const std::string& endpoint, const std::string& bucket,
                                   const std::string& login, const std::string& password,
                                   std::chrono::seconds backoffCap, NetworkSettings network)
    : wrapper_(std::make_unique<S3ClientWrapper>(endpoint, bucket, login, password,
                                                 usableNetwork(std::move(network)))),
      bucketName_(bucket),
      gate_(backoffCap) {
    Log()->info("Succesful initialized S3 with parameters: endpoint={}, bucket={}", endpoint,
                bucket);
}

S3ClientProvider::~S3ClientProvider() = default;

bool S3ClientProvider::uploadFile(const std::string& localPath, const std::string& key,
                                  std::string& url, bool deleteLocal) {
    if (const auto wait = gate_.remainingWait(); wait.count() > 0) {
        if (auto tail = deferredLog_.admit("deferred")) {
            Log()->warn("Upload of {} not tried: the object store failed, next try in {} ms{};",
                        key, wait.count(), *tail);
        }
        return false;
    }
    for (int attempt = 1; attempt <= kUploadAttempts; ++attempt) {
        try {
            const PutOutcome outcome = wrapper_->PutObject(localPath, key);
            if (outcome.contacted) gate_.noteOutcome(outcome.status);
            if (!outcome.stored) {
                Log()->error("S3 PutObject failed: bucket={}, key={}, path={}", bucketName_, key,
                             localPath);
                Log()->warn("Attempt {}: can't upload file in S3 (key={});", attempt, key);
                // A failing store is not asked again at once.
                if (gate_.remainingWait().count() > 0) {
                    Log()->error("uploadFile: the object store is failing, object key={};", key);
                    return false;
                }
                continue;
            }
            url = wrapper_->GetObjectUrl(key);
            Log()->info("Success download file in S3. URL: {};", url);
            if (deleteLocal) {
                std::error_code error;
                if (!std::filesystem::remove(localPath, error)) {
                    Log()->warn("Can't delete local file: {};", localPath);
                }
            }
            return true;
        } catch (const std::exception& e) {
            Log()->error("Exception uploadFile: {}", e.what());
            // A pause gives a transient fault time to clear; after the last attempt it would
            // only delay the caller.
            if (attempt < kUploadAttempts) std::this_thread::sleep_for(kPauseAfterException);
        }
    }
    Log()->error("uploadFile: all {} attempts out, object key={};", kUploadAttempts, key);
    return false;
}

std::vector<std::uint8_t> S3ClientProvider::downloadFile(const std::string& key) {
    return wrapper_->GetObjectData(key);
}

}  // namespace korvane::Engine::Sync
