#include "rest_client.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SSLException.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <mutex>
#include <stdexcept>

#include "logger.h"
#include "service_clock.h"

namespace korvane::Engine::REST {

namespace {

constexpr const char* kUserAgent = "Pellix-RESTClient";
constexpr const char* kCipherList = "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH";
constexpr int kVerificationDepth = 9;
constexpr std::size_t kLoggedBodyBytes = 1000;
constexpr std::size_t kCopyChunkBytes = 8192;
constexpr long kProbeTimeoutSeconds = 2;
constexpr int kMaxPort = 65535;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Whole text must be decimal digits naming a port; anything else is a malformed base URL.
int parseUrlPort(std::string_view text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0 || value > kMaxPort) {
        throw std::invalid_argument("Invalid port in base URL");
    }
    return value;
}

void initializeTlsOnce() {
    static std::once_flag once;
    std::call_once(once, [] { Poco::Net::initializeSSL(); });
}

// Why the last certificate verification on this thread failed; OpenSSL's verdict reaches the
// caller only as "certificate verify failed".
thread_local std::string lastVerifyFailure;

int noteVerifyFailure(int preverified, X509_STORE_CTX* store) {
    if (preverified == 0) {
        lastVerifyFailure = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    }
    return preverified;
}

Poco::Net::Context::Ptr makeTlsContext(const TlsSettings& tls, const std::string& host) {
    initializeTlsOnce();
    Poco::Net::Context::Params params;
    params.caLocation = tls.caLocation;
    params.verificationMode =
        tls.verifyPeer ? Poco::Net::Context::VERIFY_STRICT : Poco::Net::Context::VERIFY_NONE;
    params.verificationDepth = kVerificationDepth;
    params.loadDefaultCAs = true;
    params.cipherList = kCipherList;
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);

    // The library's post-handshake name check ignores IP address entries of the certificate
    // and compares addresses through DNS; OpenSSL's own check (set below) does it properly.
    context->enableExtendedCertificateVerification(false);

    SSL_CTX* ssl = context->sslContext();
    // The library's verify callback routes failures through a process-wide event on which
    // any accept-all handler, installed by whoever, would overrule this client. OpenSSL's
    // own verdict keeps each client's choice its own.
    SSL_CTX_set_verify(ssl, tls.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                       tls.verifyPeer ? noteVerifyFailure : nullptr);
    if (tls.verifyPeer) {
        X509_VERIFY_PARAM* check = SSL_CTX_get0_param(ssl);
        Poco::Net::IPAddress address;
        const int ok = Poco::Net::IPAddress::tryParse(host, address)
                           ? X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str())
                           : X509_VERIFY_PARAM_set1_host(check, host.c_str(), host.size());
        if (ok != 1) throw Poco::Net::SSLContextException("Cannot set expected TLS host", host);
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    return context;
}

// The command a path addresses: "/api/<command>/..." gives <command>, otherwise the first
// segment ("/download/x.evo" gives "download").
std::string commandName(const std::string& pathAndQuery) {
    std::vector<std::string> segments;
    std::string_view path(pathAndQuery);
    path = path.substr(0, path.find('?'));
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) segments.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (segments.empty()) return {};
    if (segments[0] == "api") return segments.size() > 1 ? segments[1] : std::string();
    return segments[0];
}

// Firmware and template uploads are large binary files; their bodies stay out of the log.
bool isUploadCommand(const std::string& command) {
    return command == "offline_upgrade" || command == "start_restore" ||
           command == "import_template";
}

// Images and template files come back as large binary bodies; only their size is logged.
bool isDownloadCommand(const std::string& command) {
    return command == "download" || command == "get_image" || command == "add_item_template";
}

std::string logExcerpt(const std::string& body) {
    return redactSecrets(std::string_view(body).substr(0, kLoggedBodyBytes));
}

// Span [first, second) of the secret value that follows a secret's name at pos, if any.
std::optional<std::pair<std::size_t, std::size_t>> secretValueAt(std::string_view text,
                                                                 std::size_t pos) {
    const auto spanTo =
        [&](std::size_t begin,
            std::string_view stops) -> std::optional<std::pair<std::size_t, std::size_t>> {
        const std::size_t end = std::min(text.find_first_of(stops, begin), text.size());
        if (end == begin) return std::nullopt;
        return std::make_pair(begin, end);
    };
    if (pos < text.size() && text[pos] == '=') return spanTo(pos + 1, "&# \t\r\n");

    // JSON member: optional closing quote of the name (escaped inside embedded JSON), ':'.
    if (startsWith(text.substr(pos), "\\\"")) {
        pos += 2;
    } else if (pos < text.size() && text[pos] == '"') {
        ++pos;
    }
    constexpr std::string_view kSpace = " \t\r\n";
    pos = std::min(text.find_first_not_of(kSpace, pos), text.size());
    if (pos >= text.size() || text[pos] != ':') return std::nullopt;
    pos = std::min(text.find_first_not_of(kSpace, pos + 1), text.size());

    if (startsWith(text.substr(pos), "\\\"")) {
        const std::size_t begin = pos + 2;
        const std::size_t end = std::min(text.find("\\\"", begin), text.size());
        if (end == begin) return std::nullopt;
        return std::make_pair(begin, end);
    }
    if (pos < text.size() && text[pos] == '"') {
        const std::size_t begin = pos + 1;
        std::size_t end = begin;
        while (end < text.size() && text[end] != '"') end += (text[end] == '\\') ? 2 : 1;
        end = std::min(end, text.size());
        if (end == begin) return std::nullopt;
        return std::make_pair(begin, end);
    }
    return spanTo(pos, ",}] \t\r\n");
}

}  // namespace

std::string redactSecrets(std::string_view text) {
    static constexpr std::string_view kSecretNames[] = {"client_secret", "refresh_token",
                                                        "access_token"};
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nameAt = std::string_view::npos;
        std::size_t nameEnd = 0;
        for (const std::string_view name : kSecretNames) {
            const std::size_t found = text.find(name, pos);
            if (found < nameAt) {
                nameAt = found;
                nameEnd = found + name.size();
            }
        }
        if (nameAt == std::string_view::npos) break;
        const auto value = secretValueAt(text, nameEnd);
        if (!value) {
            out.append(text.substr(pos, nameEnd - pos));
            pos = nameEnd;
            continue;
        }
        out.append(text.substr(pos, value->first - pos));
        out.append("***");
        pos = value->second;
    }
    if (pos < text.size()) out.append(text.substr(pos));
    return out;
}

namespace {

// The sentence an operator reads for a request to target that got no answer.
std::string describeUnreachable(const std::string& service, const Poco::URI& target,
                                const std::optional<Sync::ProxyServer>& proxy,
                                const Poco::Exception& failure) {
    const std::string where =
        service + " at " + target.getHost() + ":" + std::to_string(target.getPort());
    const std::string via = proxy ? " through the proxy " + proxy->address() : "";
    if (dynamic_cast<const Poco::Net::HostNotFoundException*>(&failure) ||
        dynamic_cast<const Poco::Net::NoAddressFoundException*>(&failure)) {
        return where + via + ": the host name " + (proxy ? proxy->host : target.getHost()) +
               " cannot be resolved";
    }
    if (dynamic_cast<const Poco::Net::ConnectionRefusedException*>(&failure)) {
        return proxy ? where + ": the proxy " + proxy->address() + " refused the connection"
                     : where + ": the connection was refused";
    }
    if (dynamic_cast<const Poco::TimeoutException*>(&failure)) {
        return where + via + ": no answer in time";
    }
    if (dynamic_cast<const Poco::Net::SSLException*>(&failure)) {
        const std::string reason =
            lastVerifyFailure.empty() ? failure.displayText() : lastVerifyFailure;
        return where + via + ": TLS certificate verification failed: " + reason;
    }
    if (proxy && dynamic_cast<const Poco::Net::HTTPException*>(&failure)) {
        return where + ": the proxy " + proxy->address() +
               " refused the tunnel: " + failure.message();
    }
    return where + via + ": " + failure.displayText();
}

}  // namespace

struct RestClient::Impl {
    Poco::URI baseUri;
    std::atomic<long long> defaultTimeoutMs{0};
    ExchangeObserver observer;  // set before the client is shared; read-only after
    // Both set before the client is shared; read-only after. An empty name: a local peer.
    std::string serviceName;
    Sync::NetworkSettings network;

    mutable std::mutex mutex;  // guards the members below
    std::string authToken;
    TlsSettings tls;
    Poco::Net::Context::Ptr tlsContext;  // for the base host; null for an "http" base

    struct Snapshot {
        std::string authToken;
        Poco::Net::Context::Ptr tlsContext;
    };

    // What one request needs of the shared settings, copied so the request runs unlocked.
    Snapshot snapshot(const Poco::URI& target) const {
        Snapshot copy;
        TlsSettings otherHostTls;
        {
            std::lock_guard lock(mutex);
            copy.authToken = authToken;
            if (target.getScheme() != "https") return copy;
            if (tlsContext && Poco::icompare(target.getHost(), baseUri.getHost()) == 0) {
                copy.tlsContext = tlsContext;
                return copy;
            }
            otherHostTls = tls;
        }
        // Only an absolute URL given as a path leads elsewhere; it gets a context that expects
        // its own host name.
        copy.tlsContext = makeTlsContext(otherHostTls, target.getHost());
        return copy;
    }

    void copyFrom(const Impl& other) {
        baseUri = other.baseUri;
        observer = other.observer;
        serviceName = other.serviceName;
        network = other.network;
        defaultTimeoutMs = other.defaultTimeoutMs.load();
        std::lock_guard lock(other.mutex);
        authToken = other.authToken;
        tls = other.tls;
        tlsContext = other.tlsContext;
    }
};

RestClient::RestClient(const std::string& baseUrl, int port, const TlsSettings& tls)
    : impl_(std::make_unique<Impl>()) {
    std::string_view rest = baseUrl;
    std::string scheme = "http";
    if (startsWith(rest, "http://")) {
        rest.remove_prefix(7);
    } else if (startsWith(rest, "https://")) {
        scheme = "https";
        rest.remove_prefix(8);
    }

    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    const std::string path =
        slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));

    const std::size_t colon = authority.find(':');
    const std::string host(authority.substr(0, colon));
    int urlPort = 0;
    if (colon != std::string_view::npos && colon + 1 < authority.size()) {
        urlPort = parseUrlPort(authority.substr(colon + 1));
    }
    if (host.empty()) throw std::invalid_argument("Invalid base URL: host is empty");

    int effectivePort = urlPort;
    if (port >= 1) {
        if (port > kMaxPort) throw std::invalid_argument("Port out of range");
        effectivePort = port;
    }

    Poco::URI& uri = impl_->baseUri;
    uri.setScheme(scheme);
    uri.setHost(host);
    if (effectivePort != 0) uri.setPort(static_cast<unsigned short>(effectivePort));
    uri.setPath(path);

    impl_->tls = tls;
    if (scheme == "https") impl_->tlsContext = makeTlsContext(tls, host);

    Log()->info("RestClient() init with baseUri_: scheme={}, host={}, port={}, path={};",
                uri.getScheme(), uri.getHost(), uri.getPort(), uri.getPath());
}

RestClient::RestClient(const RestClient& other) : impl_(std::make_unique<Impl>()) {
    impl_->copyFrom(*other.impl_);
}

RestClient& RestClient::operator=(const RestClient& other) {
    if (this != &other) {
        auto copy = std::make_unique<Impl>();
        copy->copyFrom(*other.impl_);
        impl_ = std::move(copy);
    }
    return *this;
}

RestClient::RestClient(RestClient&& other) noexcept = default;
RestClient& RestClient::operator=(RestClient&& other) noexcept = default;
RestClient::~RestClient() = default;

void RestClient::setTimeout(const int& seconds) {
    impl_->defaultTimeoutMs = static_cast<long long>(seconds) * 1000;
}

void RestClient::setAuthToken(const std::string& token) {
    std::lock_guard lock(impl_->mutex);
    impl_->authToken = token;
}

void RestClient::clearAuthToken() {
    std::lock_guard lock(impl_->mutex);
    impl_->authToken.clear();
}

void RestClient::setVerifyPeer(bool verify) {
    TlsSettings tls;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->tls.verifyPeer = verify;
        tls = impl_->tls;
    }
    if (impl_->baseUri.getScheme() != "https") return;
    // Built unlocked: loading the CA store is slow enough to stall concurrent requests.
    Poco::Net::Context::Ptr context = makeTlsContext(tls, impl_->baseUri.getHost());
    std::lock_guard lock(impl_->mutex);
    if (impl_->tls.verifyPeer == verify) impl_->tlsContext = std::move(context);
}

const Poco::URI& RestClient::getBaseUri() const {
    return impl_->baseUri;
}

bool RestClient::checkConnectionHTTP() const {
    try {
        Poco::URI probe(impl_->baseUri);
        probe.setPath("/api/x");
        Poco::Net::HTTPClientSession session(probe.getHost(), probe.getPort());
        session.setTimeout(Poco::Timespan(kProbeTimeoutSeconds, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_HEAD, probe.getPathAndQuery(),
                                       Poco::Net::HTTPMessage::HTTP_1_0);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        session.receiveResponse(response);
        return response.getStatus() < 405;
    } catch (...) {
        return false;
    }
}

RawResponse RestClient::requestRaw(const std::string& method, const std::string& path,
                                   const std::string* body, const std::string& contentType,
                                   Timeout timeout) const {
    if (body == nullptr) return exchange(method, path, nullptr, contentType, timeout);
    const OutgoingBody outgoing{body->size(),
                                [body](std::ostream& out) {
                                    out.write(body->data(),
                                              static_cast<std::streamsize>(body->size()));
                                },
                                body};
    return exchange(method, path, &outgoing, contentType, timeout);
}

RawResponse RestClient::exchange(const std::string& method, const std::string& path,
                                 const OutgoingBody* body, const std::string& contentType,
                                 Timeout timeout) const {
    if (!impl_->observer) return exchangeUnobserved(method, path, body, contentType, timeout);
    RawResponse answer;
    try {
        answer = exchangeUnobserved(method, path, body, contentType, timeout);
    } catch (...) {
        impl_->observer(path, nullptr);
        throw;
    }
    impl_->observer(path, &answer);
    return answer;
}

void RestClient::setExchangeObserver(ExchangeObserver observer) {
    impl_->observer = std::move(observer);
}

void RestClient::useStoreNetwork(std::string serviceName, Sync::NetworkSettings network) {
    impl_->serviceName = std::move(serviceName);
    impl_->network = std::move(network);
}

RawResponse RestClient::exchangeUnobserved(const std::string& method, const std::string& path,
                                           const OutgoingBody* body, const std::string& contentType,
                                           Timeout timeout) const {
    // An absolute path is sent as the caller encoded it: Poco's URI would decode it and
    // merge an encoded "/" or "?" inside one segment into the path's structure.
    const bool rawPath = path.starts_with('/') && !path.starts_with("//");
    Poco::URI target(impl_->baseUri);
    if (!rawPath) target.resolve(path);
    const Impl::Snapshot settings = impl_->snapshot(target);
    const bool remote = !impl_->serviceName.empty();
    std::optional<Sync::ProxyServer> proxy;
    if (remote) {
        try {
            proxy = Sync::proxyFor(impl_->network.proxy, target.getScheme(), target.getHost());
        } catch (const std::invalid_argument& e) {
            throw ServiceUnreachable(impl_->serviceName + ": " + e.what());
        }
    }
    try {
        return transfer(method, target,
                        rawPath ? encodeRequestTarget(path) : target.getPathAndQuery(),
                        settings.tlsContext, settings.authToken, proxy, body, contentType, timeout);
    } catch (const Poco::Exception& e) {
        if (!remote) throw;
        throw ServiceUnreachable(describeUnreachable(impl_->serviceName, target, proxy, e));
    }
}

RawResponse RestClient::transfer(const std::string& method, const Poco::URI& target,
                                 std::string pathAndQuery,
                                 const Poco::AutoPtr<Poco::Net::Context>& tlsContext,
                                 const std::string& authToken,
                                 const std::optional<Sync::ProxyServer>& proxy,
                                 const OutgoingBody* body, const std::string& contentType,
                                 Timeout timeout) const {
    lastVerifyFailure.clear();
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    if (tlsContext) {
        session = std::make_unique<Poco::Net::HTTPSClientSession>(target.getHost(),
                                                                  target.getPort(), tlsContext);
    } else {
        session =
            std::make_unique<Poco::Net::HTTPClientSession>(target.getHost(), target.getPort());
    }
    if (proxy) {
        // https goes through a CONNECT tunnel, http in the absolute form.
        session->setProxy(proxy->host, proxy->port);
        if (!proxy->user.empty()) session->setProxyCredentials(proxy->user, proxy->password);
    }
    const std::chrono::milliseconds limit =
        timeout ? *timeout : std::chrono::milliseconds(impl_->defaultTimeoutMs.load());
    if (limit.count() > 0) {
        session->setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(limit.count()) *
                                           Poco::Timespan::MILLISECONDS));
    }

    if (pathAndQuery.empty()) pathAndQuery = "/";
    Poco::Net::HTTPRequest request(method, pathAndQuery, Poco::Net::HTTPMessage::HTTP_1_1);
    request.set("User-Agent", kUserAgent);
    if (!authToken.empty()) request.set("Authorization", "Bearer " + authToken);

    Log()->info("send request {} {}://{}:{}{}", method, target.getScheme(), target.getHost(),
                target.getPort(), redactSecrets(pathAndQuery));

    const std::string command = commandName(pathAndQuery);
    if (body != nullptr) {
        if (body->text && !isUploadCommand(command)) {
            Log()->info("body: {}", logExcerpt(*body->text));
        }
        if (!contentType.empty()) request.setContentType(contentType);
        request.setContentLength64(static_cast<Poco::Int64>(body->size));
        std::ostream& out = session->sendRequest(request);
        body->write(out);
        if (!out) {
            if (const Poco::Exception* failure = session->networkException()) failure->rethrow();
            throw Poco::IOException("Cannot send request body");
        }
    } else {
        session->sendRequest(request);
    }

    Poco::Net::HTTPResponse response;
    std::istream& in = session->receiveResponse(response);
    RawResponse raw;
    Poco::StreamCopier::copyToString(in, raw.body, kCopyChunkBytes);
    raw.status = static_cast<int>(response.getStatus());
    raw.reason = response.getReason();
    for (const auto& [name, value] : response) raw.headers[name] = value;
    if (!impl_->serviceName.empty()) {
        Sync::ServiceClock::instance().noteDateHeader(response.get("Date", ""));
    }

    Log()->info("response {} {} - {}", raw.status, raw.reason,
                isDownloadCommand(command) ? std::to_string(raw.body.size()) + " bytes"
                                           : logExcerpt(raw.body));
    return raw;
}

RawResponse RestClient::request(const std::string& method, const std::string& path,
                                const std::string* body, const std::string& contentType,
                                Timeout timeout) const {
    return requestRaw(method, path, body, contentType, timeout);
}

}  // namespace korvane::Engine::REST
