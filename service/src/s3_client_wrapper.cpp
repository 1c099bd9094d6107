#include "s3_client_wrapper.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "agent_metrics.h"
#include "logger.h"

namespace korvane::Engine::Sync {

namespace {

// The region is fixed: S3-compatible stores accept us-east-1 whatever they call themselves.
constexpr const char* kSigV4Provider = "aws:amz:us-east-1:s3";
// Signing the body would mean reading every upload twice; the store accepts it unsigned.
constexpr const char* kUnsignedPayloadHeader = "x-amz-content-sha256: UNSIGNED-PAYLOAD";
constexpr long kConnectTimeoutSeconds = 10;
// A stalled transfer is cut off instead of a total time limit, which large uploads would hit.
constexpr long kLowSpeedLimitBytesPerSecond = 1;
constexpr long kLowSpeedTimeSeconds = 60;
// Error bodies are small XML documents; anything beyond this is not kept.
constexpr std::size_t kMaxErrorBody = 64 * 1024;

void initCurlOnce() {
    static std::once_flag once;
    // A throw leaves the flag unset, so a later construction tries again.
    std::call_once(once, [] {
        const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            throw std::runtime_error(std::string("curl_global_init failed: ") +
                                     curl_easy_strerror(code));
        }
    });
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == lower;
           });
}

// Scheme made explicit and trailing "/" and "/." removed, so that "/bucket/key" can be
// appended without producing an empty or dot path segment that would change the signed path.
std::string requestBase(const std::string& endpoint) {
    std::string base = endpoint;
    if (!startsWithNoCase(base, "http://") && !startsWithNoCase(base, "https://")) {
        base = "https://" + base;
    }
    const std::size_t authority = base.find("//") + 2;
    while (base.size() > authority) {
        if (base.back() == '/') {
            base.pop_back();
        } else if (base.size() >= authority + 2 && base.compare(base.size() - 2, 2, "/.") == 0) {
            base.resize(base.size() - 2);
        } else {
            break;
        }
    }
    return base;
}

// S3's URI encoding: every byte except unreserved ASCII becomes %XX (uppercase); "/" is kept
// between segments. The server signs the path in exactly this form.
std::string encodePath(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                                c == '~';
        if (unreserved || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct Upload {
    std::FILE* file = nullptr;
    curl_off_t remaining = 0;
};

// A file that shrinks or fails to read mid-upload aborts the request instead of sending a
// short body that the server would wait on.
std::size_t readUpload(char* buffer, std::size_t size, std::size_t count, void* userdata) {
    auto* upload = static_cast<Upload*>(userdata);
    const auto wanted =
        static_cast<std::size_t>(std::min<curl_off_t>(upload->remaining, size * count));
    if (wanted == 0) return 0;
    const std::size_t got = std::fread(buffer, 1, wanted, upload->file);
    if (got == 0) return CURL_READFUNC_ABORT;
    upload->remaining -= static_cast<curl_off_t>(got);
    return got;
}

struct Response {
    CURLcode code = CURLE_OK;
    std::string transportError;
    long status = 0;
    std::string reason;
    std::vector<std::uint8_t> body;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* userdata) {
    auto* response = static_cast<Response*>(userdata);
    const std::size_t bytes = size * count;
    const bool success = response->status >= 200 && response->status < 300;
    if (success || response->body.size() < kMaxErrorBody) {
        response->body.insert(response->body.end(), data, data + bytes);
    }
    return bytes;
}

// Keeps the status and reason phrase of the last status line ("HTTP/1.1 404 Not Found"); an
// interim "100 Continue" is replaced by the final one.
std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* userdata) {
    auto* response = static_cast<Response*>(userdata);
    const std::size_t bytes = size * count;
    const std::string line(data, bytes);
    if (line.rfind("HTTP/", 0) == 0) {
        long status = 0;
        char reason[128] = {};
        if (std::sscanf(line.c_str(), "HTTP/%*s %ld %127[^\r\n]", &status, reason) >= 1) {
            response->status = status;
            response->reason = reason;
        }
    }
    return bytes;
}

std::string xmlUnescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos || end - i > 8) {
            out += text[i];
            continue;
        }
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "lt") {
            out += '<';
        } else if (entity == "gt") {
            out += '>';
        } else if (entity == "amp") {
            out += '&';
        } else if (entity == "quot") {
            out += '"';
        } else if (entity == "apos") {
            out += '\'';
        } else if (entity.size() > 1 && entity[0] == '#' &&
                   std::all_of(entity.begin() + 1, entity.end(),
                               [](char d) { return d >= '0' && d <= '9'; })) {
            const long code = std::stol(entity.substr(1));
            out += code > 0 && code < 128 ? static_cast<char>(code) : '?';
        } else {
            out += text[i];
            continue;
        }
        i = end;
    }
    return out;
}

// The text of <tag>...</tag> in an S3 error document, unescaped and kept on one line.
std::string xmlElement(const std::string& xml, const std::string& tag) {
    const std::string open = "<" + tag + ">";
    const std::size_t start = xml.find(open);
    if (start == std::string::npos) return {};
    const std::size_t end = xml.find("</" + tag + ">", start);
    if (end == std::string::npos) return {};
    std::string text = xmlUnescape(xml.substr(start + open.size(), end - start - open.size()));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return text;
}

bool succeeded(const Response& response) {
    return response.code == CURLE_OK && response.status >= 200 && response.status < 300;
}

// The error's name and message: the S3 error code and message from the body when there is
// one, "HTTP <status>" and the reason phrase otherwise, or the transport failure.
std::pair<std::string, std::string> describeFailure(const Response& response) {
    if (response.code != CURLE_OK) {
        return {curl_easy_strerror(response.code), response.transportError.empty()
                                                       ? curl_easy_strerror(response.code)
                                                       : response.transportError};
    }
    const std::string xml(response.body.begin(), response.body.end());
    std::string name = xmlElement(xml, "Code");
    std::string message = xmlElement(xml, "Message");
    if (name.empty()) name = "HTTP " + std::to_string(response.status);
    if (message.empty()) message = response.reason;
    return {std::move(name), std::move(message)};
}

}  // namespace

struct S3ClientWrapper::Client {
    std::string baseUrl;
    std::string bucketPath;
    std::string accessKey;
    std::string secretKey;

    // One easy handle per request: nothing is shared between threads.
    Response perform(const std::string& key, Upload* upload) const {
        CURL* handle = curl_easy_init();
        if (handle == nullptr) throw std::runtime_error("curl_easy_init failed");
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> guard(handle, curl_easy_cleanup);
        curl_slist* headers = curl_slist_append(nullptr, kUnsignedPayloadHeader);
        if (headers == nullptr) throw std::runtime_error("curl_slist_append failed");
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headersGuard(
            headers, curl_slist_free_all);

        const std::string url = baseUrl + bucketPath + "/" + encodePath(key);
        Response response;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        // Keys may contain "." and ".." segments; they must reach the store unchanged.
        curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
        // Environment proxy variables are not ours to follow; the endpoint is reached directly.
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
        // Without signing support every request would go out anonymously; refuse instead.
        if (curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, kSigV4Provider) != CURLE_OK) {
            throw std::runtime_error("libcurl cannot sign requests with AWS Signature V4");
        }
        curl_easy_setopt(handle, CURLOPT_USERNAME, accessKey.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, secretKey.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
        if (upload != nullptr) {
            curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(handle, CURLOPT_READFUNCTION, readUpload);
            curl_easy_setopt(handle, CURLOPT_READDATA, upload);
            curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, upload->remaining);
        }

        response.code = curl_easy_perform(handle);
        response.transportError = errorBuffer;
        if (response.code == CURLE_OK) {
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
        }
        return response;
    }
};

S3ClientWrapper::S3ClientWrapper(std::string endpoint, std::string bucket, std::string accessKey,
                                 std::string secretKey)
    : endpoint_(std::move(endpoint)),
      bucket_(std::move(bucket)),
      accessKey_(std::move(accessKey)),
      secretKey_(std::move(secretKey)) {
    initCurlOnce();
    client_ = std::make_unique<const Client>(
        Client{requestBase(endpoint_), "/" + encodePath(bucket_), accessKey_, secretKey_});
}

S3ClientWrapper::~S3ClientWrapper() = default;

PutOutcome S3ClientWrapper::PutObject(const std::string& localPath, const std::string& key) const {
    FilePtr file(std::fopen(localPath.c_str(), "rb"));
    struct stat info {};
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return {};

    Upload upload{file.get(), static_cast<curl_off_t>(info.st_size)};
    const Response response = client_->perform(key, &upload);
    auto& counted = Utils::Metrics::agentMetrics().objectStoreUploads;
    const bool reached = response.code == CURLE_OK;
    const PutOutcome outcome{succeeded(response), true, reached ? response.status : 0};
    if (outcome.stored) {
        counted.at({Utils::Metrics::kOk}).add();
        return outcome;
    }
    counted.at({reached ? Utils::Metrics::kRefused : Utils::Metrics::kUnreachable}).add();
    const auto [name, message] = describeFailure(response);
    Log()->error("PutObject failed: {} - {}", name, message);
    return outcome;
}

std::vector<std::uint8_t> S3ClientWrapper::GetObjectData(const std::string& key) const {
    Response response;
    try {
        response = client_->perform(key, nullptr);
    } catch (const std::exception& e) {
        Log()->error("GetObjectData failed: {} - {}", "ClientError", e.what());
        return {};
    }
    if (succeeded(response)) return std::move(response.body);
    const auto [name, message] = describeFailure(response);
    Log()->error("GetObjectData failed: {} - {}", name, message);
    return {};
}

std::string S3ClientWrapper::GetObjectUrl(const std::string& key) const {
    std::string base = endpoint_;
    while (!base.empty() && (base.back() == '.' || base.back() == '/')) base.pop_back();
    return base + "/" + bucket_ + "/" + key;
}

}  // namespace korvane::Engine::Sync
