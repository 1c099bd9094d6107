#include "s3_client_wrapper.h"

#include <curl/curl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "agent_metrics.h"
#include "logger.h"
#include "service_clock.h"
#include "sigv4_signer.h"

namespace korvane::Engine::Sync {

namespace {

// The region is fixed: S3-compatible stores accept us-east-1 whatever they call themselves.
constexpr const char* kSigningRegion = "us-east-1";
constexpr const char* kSigningService = "s3";
// Debian's hashed folder of the system's certificate authorities: with a private bundle as
// the CA file it keeps the system's authorities trusted too.
constexpr const char* kSystemCertificateFolder = "/etc/ssl/certs";
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

// S3's URI encoding: every byte except unreserved ASCII becomes %XX (uppercase); "/" is kept
// between segments when keepSlash. The server signs the path in exactly this form.
std::string encodePath(const std::string& text, bool keepSlash = true) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                                c == '~';
        if (unreserved || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Where the requests go, taken apart once: the signature covers the Host header and the path
// as sent, and the proxy rules and log lines need the host.
struct StoreEndpoint {
    std::string scheme;     // "http" or "https"
    std::string authority;  // host[:port] as configured: the Host header, the store's name
    std::string host;       // without port or IPv6 brackets
    std::string basePath;   // S3-encoded, without a trailing "/" or "/."
};

std::string hostOf(const std::string& authority) {
    if (!authority.empty() && authority.front() == '[') {
        return authority.substr(1, authority.find(']') - 1);
    }
    return authority.substr(0, authority.rfind(':'));
}

// Trailing "/" and "/." are removed, so that "/bucket/key" can be appended without producing
// an empty or dot segment that would change the signed path; each segment is brought into
// S3's encoding, the form a store signs.
std::string basePathOf(std::string path) {
    while (!path.empty()) {
        if (path.back() == '/') {
            path.pop_back();
        } else if (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0) {
            path.resize(path.size() - 2);
        } else {
            break;
        }
    }
    std::string encoded;
    for (std::size_t start = 1; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        encoded += "/" + encodePath(percentDecode(path.substr(start, end - start)), false);
        start = end + 1;
    }
    return encoded;
}

StoreEndpoint parseEndpoint(const std::string& endpoint) {
    StoreEndpoint parsed{"https", {}, {}, {}};
    std::string rest = endpoint;
    if (startsWithNoCase(rest, "http://")) {
        parsed.scheme = "http";
        rest.erase(0, 7);
    } else if (startsWithNoCase(rest, "https://")) {
        rest.erase(0, 8);
    }
    const std::size_t slash = rest.find('/');
    parsed.authority = rest.substr(0, slash);
    parsed.host = hostOf(parsed.authority);
    if (slash != std::string::npos) parsed.basePath = basePathOf(rest.substr(slash));
    return parsed;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct Upload {
    std::FILE* file = nullptr;
    curl_off_t size = 0;
    curl_off_t remaining = 0;

    bool seek(curl_off_t offset) {
        if (offset < 0 || offset > size || fseeko(file, offset, SEEK_SET) != 0) return false;
        remaining = size - offset;
        return true;
    }
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

// libcurl sends a body again (after a proxy's authentication challenge, say) only if it can
// go back to its start.
int seekUpload(void* userdata, curl_off_t offset, int origin) {
    auto* upload = static_cast<Upload*>(userdata);
    return origin == SEEK_SET && upload->seek(offset) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

struct Response {
    std::string unsentCause;  // not empty: no request went out, for this reason
    std::optional<ProxyServer> proxy;
    CURLcode code = CURLE_OK;
    std::string transportError;
    long osErrno = 0;
    long verifyResult = X509_V_OK;
    long tunnelStatus = 0;  // the proxy's answer to CONNECT
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

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Keeps the status and reason phrase of the last status line ("HTTP/1.1 404 Not Found"); an
// interim "100 Continue" is replaced by the final one. Every Date header tells the services'
// clock.
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
    } else if (startsWithNoCase(line, "date:")) {
        ServiceClock::instance().noteDateHeader(trimmed(line.substr(5)));
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

// "2026-12-08T14:00:01Z", with or without fractions of a second, as a store reports its clock.
std::optional<std::chrono::system_clock::time_point> parseIsoUtc(const std::string& text) {
    std::tm utc{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &consumed) != 6) {
        return std::nullopt;
    }
    auto rest = static_cast<std::size_t>(consumed);
    if (rest < text.size() && text[rest] == '.') {
        ++rest;
        while (rest < text.size() && std::isdigit(static_cast<unsigned char>(text[rest]))) ++rest;
    }
    if (text.compare(rest, std::string::npos, "Z") != 0 || utc.tm_mon < 1 || utc.tm_mon > 12 ||
        utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 || utc.tm_min > 59 ||
        utc.tm_sec > 60) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(timegm(&utc));
}

std::string bodyText(const Response& response) {
    return std::string(response.body.begin(), response.body.end());
}

bool refusedForSkew(const Response& response) {
    return response.unsentCause.empty() && response.code == CURLE_OK && response.status == 403 &&
           xmlElement(bodyText(response), "Code") == "RequestTimeTooSkewed";
}

bool succeeded(const Response& response) {
    return response.unsentCause.empty() && response.code == CURLE_OK && response.status >= 200 &&
           response.status < 300;
}

std::string proxyName(const ProxyServer& proxy) {
    return "proxy " + proxy.address();
}

// The proxy's answer to CONNECT when it did not open the tunnel.
std::string tunnelRefusal(const Response& response, const std::string& store) {
    const long status = response.tunnelStatus;
    const std::string proxy = proxyName(*response.proxy);
    const std::string code = ": HTTP " + std::to_string(status);
    if (status == 407 || status == 401) {
        return proxy + " refused the tunnel to the " + store + code +
               " (it wants credentials, or refused those given)";
    }
    if (status == 403) {
        return proxy + " refused the tunnel to the " + store + code +
               " (it does not let this machine reach that host)";
    }
    return proxy + " could not open a tunnel to the " + store + code;
}

// Why the certificate was refused: the verification's own reason ("certificate has expired")
// when it got that far, else libcurl's (a host name the certificate does not cover). libcurl
// reports "unspecified" for a verification it did not reach.
std::string certificateRefusal(const Response& response, const std::string& store,
                               const std::string& detail) {
    const bool verified =
        response.verifyResult != X509_V_OK && response.verifyResult != X509_V_ERR_UNSPECIFIED;
    return "the certificate of the " + store + " was refused: " +
           (verified ? X509_verify_cert_error_string(response.verifyResult) : detail);
}

// The cause of a request that got no answer, naming the store or proxy that failed.
std::string transportFailure(const Response& response, const StoreEndpoint& endpoint) {
    const std::string store = "object store " + endpoint.authority;
    const std::string detail = response.transportError.empty() ? curl_easy_strerror(response.code)
                                                               : response.transportError;
    const bool refused = response.osErrno == ECONNREFUSED;
    if (response.proxy) {
        if (response.tunnelStatus >= 300) return tunnelRefusal(response, store);
        if (response.code == CURLE_COULDNT_RESOLVE_PROXY) {
            return "proxy host " + response.proxy->host + " cannot be resolved";
        }
        if (response.code == CURLE_COULDNT_CONNECT) {
            return proxyName(*response.proxy) +
                   (refused ? " refused the connection" : " cannot be reached: " + detail);
        }
    }
    const std::string route =
        response.proxy ? " (through " + proxyName(*response.proxy) + ")" : std::string();
    switch (response.code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return "object store host " + endpoint.host + " cannot be resolved";
        case CURLE_COULDNT_CONNECT:
            return store + (refused ? " refused the connection" : " cannot be reached: " + detail);
        case CURLE_PEER_FAILED_VERIFICATION:
            return certificateRefusal(response, store, detail) + route;
        case CURLE_SSL_CACERT_BADFILE:
            return "the certificate authorities to check the " + store +
                   " cannot be loaded: " + detail;
        case CURLE_OPERATION_TIMEDOUT:
            return store + " did not answer in time: " + detail + route;
        default:
            return store + ": " + detail + route;
    }
}

// The store's error code and message from its XML body, or "HTTP <status>" and the reason
// phrase of an answer that is not the store's own (a proxy's, say).
std::pair<std::string, std::string> refusal(const Response& response) {
    const std::string xml = bodyText(response);
    std::string name = xmlElement(xml, "Code");
    std::string message = xmlElement(xml, "Message");
    if (name == "RequestTimeTooSkewed") {
        message += " (request time " + xmlElement(xml, "RequestTime") + ", the store's time " +
                   xmlElement(xml, "ServerTime") + ": this machine's clock is off)";
    }
    if (name.empty()) {
        name = "HTTP " + std::to_string(response.status);
        message = response.reason;
        if (response.proxy && response.status == 407) {
            message +=
                ": " + proxyName(*response.proxy) + " wants credentials, or refused those given";
        } else if (response.proxy) {
            message += " (through " + proxyName(*response.proxy) + ")";
        }
    }
    return {std::move(name), std::move(message)};
}

// The failure's name and a message a user can act on.
std::pair<std::string, std::string> describeFailure(const Response& response,
                                                    const StoreEndpoint& endpoint) {
    if (!response.unsentCause.empty()) {
        return {"InvalidProxy", "the object store " + endpoint.authority +
                                    " was not contacted: " + response.unsentCause};
    }
    if (response.code != CURLE_OK) {
        // libcurl names a refused CONNECT as a receive failure, which would mislead.
        const bool tunnelRefused = response.proxy && response.tunnelStatus >= 300;
        return {tunnelRefused ? "ProxyTunnelRefused" : curl_easy_strerror(response.code),
                transportFailure(response, endpoint)};
    }
    return refusal(response);
}

// Our resolver has read the environment, no_proxy included: libcurl must not read it again,
// so both the proxy and its exemptions are always given.
void applyRoute(CURL* handle, const std::optional<ProxyServer>& proxy) {
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
    if (!proxy) {
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        return;
    }
    const std::string host =
        proxy->host.find(':') != std::string::npos ? "[" + proxy->host + "]" : proxy->host;
    const std::string url = "http://" + host + ":" + std::to_string(proxy->port);
    curl_easy_setopt(handle, CURLOPT_PROXY, url.c_str());
    // The proxy's answer to CONNECT is not the store's: its Date and status stay out.
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!proxy->user.empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy->user.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy->password.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
}

void applyTrust(CURL* handle, const std::string& caFile) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (caFile.empty()) return;
    curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_CAPATH, kSystemCertificateFolder);
}

void applyLimits(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // Keys may contain "." and ".." segments; they must reach the store unchanged.
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
}

void applyUpload(CURL* handle, Upload* upload) {
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(handle, CURLOPT_READDATA, upload);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekUpload);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, upload);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, upload->remaining);
}

void readTransportInfo(CURL* handle, Response& response) {
    curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &response.osErrno);
    curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &response.verifyResult);
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &response.tunnelStatus);
    if (response.code == CURLE_OK) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    }
}

using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

HeaderList headerList(const std::vector<std::string>& lines) {
    HeaderList list(nullptr, curl_slist_free_all);
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (grown == nullptr) throw std::runtime_error("curl_slist_append failed");
        list.release();
        list.reset(grown);
    }
    return list;
}

}  // namespace

struct S3ClientWrapper::Client {
    StoreEndpoint endpoint;
    std::string bucketPath;  // "/" + the encoded bucket
    SigV4Signer signer;
    NetworkSettings network;

    // One request, or none when the proxy setting cannot be used.
    Response attempt(const std::string& key, Upload* upload) const {
        Response response;
        try {
            response.proxy = proxyFor(network.proxy, endpoint.scheme, endpoint.host);
        } catch (const std::invalid_argument& e) {
            response.unsentCause = e.what();
            return response;
        }
        perform(key, upload, response);
        return response;
    }

    // A store that refuses our clock says what its own reads; the request goes again at once
    // with that time, the upload from the start of the file.
    Response exchange(const std::string& key, Upload* upload) const {
        Response response = attempt(key, upload);
        if (!refusedForSkew(response)) return response;
        const std::string xml = bodyText(response);
        const std::string serverTime = xmlElement(xml, "ServerTime");
        if (const auto time = parseIsoUtc(serverTime)) {
            ServiceClock::instance().noteServiceTime(*time);
        }
        Log()->warn(
            "The object store {} refused the request time {} (its clock reads {}); "
            "sending again with the store's time;",
            endpoint.authority, xmlElement(xml, "RequestTime"), serverTime);
        if (upload != nullptr && !upload->seek(0)) return response;
        return attempt(key, upload);
    }

    // One easy handle per request: nothing is shared between threads.
    void perform(const std::string& key, Upload* upload, Response& response) const {
        CURL* handle = curl_easy_init();
        if (handle == nullptr) throw std::runtime_error("curl_easy_init failed");
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> guard(handle, curl_easy_cleanup);

        const std::string path = endpoint.basePath + bucketPath + "/" + encodePath(key);
        const HeaderList headers = headerList(
            signer.sign({upload != nullptr ? "PUT" : "GET", endpoint.authority, path, ""},
                        ServiceClock::instance().now()));
        const std::string url = endpoint.scheme + "://" + endpoint.authority + path;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        applyLimits(handle);
        applyRoute(handle, response.proxy);
        applyTrust(handle, network.caFile);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
        if (upload != nullptr) applyUpload(handle, upload);

        response.code = curl_easy_perform(handle);
        response.transportError = errorBuffer;
        readTransportInfo(handle, response);
    }
};

S3ClientWrapper::S3ClientWrapper(std::string endpoint, std::string bucket, std::string accessKey,
                                 std::string secretKey, NetworkSettings network)
    : endpoint_(std::move(endpoint)), bucket_(std::move(bucket)) {
    initCurlOnce();
    client_ = std::make_unique<const Client>(Client{
        parseEndpoint(endpoint_), "/" + encodePath(bucket_),
        SigV4Signer(std::move(accessKey), std::move(secretKey), kSigningRegion, kSigningService),
        std::move(network)});
}

S3ClientWrapper::~S3ClientWrapper() = default;

void S3ClientWrapper::logFailure(const char* operation, const std::string& name,
                                 const std::string& message) const {
    if (const auto tail = failureLog_.admit(std::string(operation) + " " + name)) {
        Log()->error("{} failed: {} - {}{}", operation, name, message, *tail);
    }
}

PutOutcome S3ClientWrapper::PutObject(const std::string& localPath, const std::string& key) const {
    FilePtr file(std::fopen(localPath.c_str(), "rb"));
    struct stat info {};
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return {};

    const auto size = static_cast<curl_off_t>(info.st_size);
    Upload upload{file.get(), size, size};
    const Response response = client_->exchange(key, &upload);
    auto& counted = Utils::Metrics::agentMetrics().objectStoreUploads;
    const bool sent = response.unsentCause.empty();
    const bool reached = sent && response.code == CURLE_OK;
    const PutOutcome outcome{succeeded(response), sent, reached ? response.status : 0};
    if (outcome.stored) {
        counted.at({Utils::Metrics::kOk}).add();
        return outcome;
    }
    counted.at({reached ? Utils::Metrics::kRefused : Utils::Metrics::kUnreachable}).add();
    const auto [name, message] = describeFailure(response, client_->endpoint);
    logFailure("PutObject", name, message);
    return outcome;
}

std::vector<std::uint8_t> S3ClientWrapper::GetObjectData(const std::string& key) const {
    Response response;
    try {
        response = client_->exchange(key, nullptr);
    } catch (const std::exception& e) {
        logFailure("GetObjectData", "ClientError", e.what());
        return {};
    }
    if (succeeded(response)) return std::move(response.body);
    const auto [name, message] = describeFailure(response, client_->endpoint);
    logFailure("GetObjectData", name, message);
    return {};
}

std::string S3ClientWrapper::GetObjectUrl(const std::string& key) const {
    std::string base = endpoint_;
    while (!base.empty() && (base.back() == '.' || base.back() == '/')) base.pop_back();
    return base + "/" + bucket_ + "/" + key;
}

}  // namespace korvane::Engine::Sync
