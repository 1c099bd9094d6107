#include "s3_client_provider.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "logger.h"
#include "s3_client_wrapper.h"

namespace korvane::Engine::Sync {

namespace {
constexpr int kUploadAttempts = 2;
constexpr auto kPauseAfterException = std::chrono::milliseconds(300);

// Why a CA bundle cannot serve, or "" when it can: libcurl would only fail each request later.
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

// The settings the requests use: a CA bundle that cannot serve is dropped.
NetworkSettings usableNetwork(NetworkSettings network) {
    if (network.caFile.empty()) return network;
    if (const std::string reason = unusableCaFile(network.caFile); !reason.empty()) {
        Log()->error(
            "tls_ca_file {} cannot be read: {}; the system's certificate authorities "
            "alone are trusted;",
            network.caFile, reason);
        network.caFile.clear();
    } else {
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
