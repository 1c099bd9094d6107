#include "sigv4_signer.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <ctime>
#include <stdexcept>
#include <utility>

namespace korvane::Engine::Sync {

namespace {

constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";
// Signing the body would mean reading every upload twice; the store accepts it unsigned.
constexpr const char* kUnsignedPayload = "UNSIGNED-PAYLOAD";
constexpr const char* kSignedHeaders = "host;x-amz-content-sha256;x-amz-date";

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    return hex(digest, size);
}

// The raw HMAC-SHA256 of data under key; the signing key is a chain of these.
std::string hmacSha256(const std::string& key, const std::string& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
             &size) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 is not available");
    }
    return std::string(reinterpret_cast<const char*>(mac), size);
}

// "20261208T140001Z"
std::string amzDate(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[17];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

}  // namespace

SigV4Signer::SigV4Signer(std::string accessKey, std::string secretKey, std::string region,
                         std::string service)
    : accessKey_(std::move(accessKey)),
      secretKey_(std::move(secretKey)),
      region_(std::move(region)),
      service_(std::move(service)) {}

std::vector<std::string> SigV4Signer::sign(const SigV4Request& request,
                                           std::chrono::system_clock::time_point time) const {
    const std::string stamp = amzDate(time);
    const std::string day = stamp.substr(0, 8);
    const std::string scope = day + "/" + region_ + "/" + service_ + "/aws4_request";
    const std::string canonicalRequest =
        request.method + "\n" + request.canonicalUri + "\n" + request.canonicalQuery + "\n" +
        "host:" + request.host + "\n" + "x-amz-content-sha256:" + kUnsignedPayload + "\n" +
        "x-amz-date:" + stamp + "\n\n" + kSignedHeaders + "\n" + kUnsignedPayload;
    const std::string stringToSign =
        std::string(kAlgorithm) + "\n" + stamp + "\n" + scope + "\n" + sha256Hex(canonicalRequest);
    const std::string signingKey =
        hmacSha256(hmacSha256(hmacSha256(hmacSha256("AWS4" + secretKey_, day), region_), service_),
                   "aws4_request");
    const std::string signature = hmacSha256(signingKey, stringToSign);
    const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
    return {
        "Host: " + request.host,
        std::string("x-amz-content-sha256: ") + kUnsignedPayload,
        "x-amz-date: " + stamp,
        std::string("Authorization: ") + kAlgorithm + " Credential=" + accessKey_ + "/" + scope +
            ", SignedHeaders=" + kSignedHeaders + ", Signature=" + hex(raw, signature.size()),
    };
}

}  // namespace korvane::Engine::Sync
