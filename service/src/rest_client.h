#pragma once
// The Agent's one HTTP client: bound to a base address at construction, it sends single
// independent requests (one connection each) and hands every answer back whole, whatever its
// status; transport, timeout and TLS failures propagate as the HTTP library's exceptions.
// Owned by the camera driver and by the monitoring client. Every member except construction,
// assignment and destruction may be called from several threads at once on one object.

#include <boost/json/fwd.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "file_slice.h"
#include "network_route.h"
#include "raw_response.h"

namespace Poco {
class URI;
template <class C>
class AutoPtr;
namespace Net {
class Context;
}
}  // namespace Poco

namespace korvane::Engine::REST {

// Ordered (name, value) pairs: query parameters, or the text fields of a multipart body.
using NameValues = std::vector<std::pair<std::string, std::string>>;

// Per-request timeout for connect, send and receive each. Empty: the client's default
// (setTimeout). Zero or less: the HTTP library's default.
using Timeout = std::optional<std::chrono::milliseconds>;

struct TlsSettings {
    // When false, every server certificate is accepted and the host name is not checked.
    bool verifyPeer = true;
    // Extra trusted CA certificates (a PEM file or a hashed folder), used besides the
    // system store. Empty: the system store alone.
    std::string caLocation;
};

// Percent-encodes every byte except ASCII letters, digits and "-_.~/?#" (uppercase hex).
std::string UrlEncode(const std::string& text);
// Percent-encodes every byte except ASCII letters, digits and "-_.~": a value that must stay
// one path segment or one query component whatever it holds.
std::string encodePathSegment(std::string_view text);
// A request target safe to send: bytes that may not appear in one are percent-encoded, while
// "/", "?", "&", "=" and existing %XX escapes keep their meaning.
std::string encodeRequestTarget(std::string_view target);

// Log-safe copy of text: the values of client_secret, refresh_token and access_token, as
// form fields or JSON members wherever they occur, become "***".
std::string redactSecrets(std::string_view text);

// A request to a remote service that got no answer, told the way an operator can act on it:
// the service, where it was sought and the cause (a name that does not resolve, a refused
// connection, a proxy that refused the tunnel, a certificate that failed verification and why).
class ServiceUnreachable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class RestClient {
  public:
    // baseUrl is "[http://|https://]host[:port][/path]"; a port >= 1 overrides the URL's.
    // Throws std::invalid_argument for an empty host or an invalid or out-of-range port.
    RestClient(const std::string& baseUrl, int port, const TlsSettings& tls = {});
    RestClient(const RestClient& other);
    RestClient& operator=(const RestClient& other);
    // A moved-from client may only be assigned to or destroyed.
    RestClient(RestClient&& other) noexcept;
    RestClient& operator=(RestClient&& other) noexcept;
    ~RestClient();

    // Default timeout of requests that do not pass their own; 0 means the library default.
    void setTimeout(const int& seconds);
    // A non-empty token is sent as "Authorization: Bearer <token>" by later requests.
    void setAuthToken(const std::string& token);
    void clearAuthToken();
    // Switches certificate and host name verification for later https requests.
    void setVerifyPeer(bool verify);
    // Told of every exchange on the thread that made it, after it ended: the request path and
    // the answer, or null when none came (the exception then propagates as before). Set it
    // before the client is shared between threads.
    using ExchangeObserver = std::function<void(const std::string& path, const RawResponse*)>;
    void setExchangeObserver(ExchangeObserver observer);
    // Makes this a client of a remote service reached over the store's network: requests go
    // through the proxy network_route chooses, the Date of every answer goes to ServiceClock,
    // and a request that gets no answer throws ServiceUnreachable naming serviceName and the
    // cause. Set it before the client is shared between threads.
    void useStoreNetwork(std::string serviceName, Sync::NetworkSettings network);

    const Poco::URI& getBaseUri() const;

    // HEAD /api/x over plain HTTP with a 2-second timeout: true when the status is below 405.
    // Never throws.
    bool checkConnectionHTTP() const;

    // Sends one request to path resolved against the base address. body may be null (no
    // body, no Content-Type, no Content-Length). Returns any status; throws on transport,
    // timeout and TLS failures.
    RawResponse requestRaw(const std::string& method, const std::string& path,
                           const std::string* body, const std::string& contentType,
                           Timeout timeout = {}) const;
    RawResponse request(const std::string& method, const std::string& path, const std::string* body,
                        const std::string& contentType, Timeout timeout = {}) const;

    RawResponse Get(const std::string& path, Timeout timeout = {}) const;
    RawResponse GetRaw(const std::string& path, Timeout timeout = {}) const;
    RawResponse Delete(const std::string& path, Timeout timeout = {}) const;

    // Compact JSON with Content-Type "application/json".
    RawResponse Post(const std::string& path, const boost::json::value& value,
                     Timeout timeout = {}) const;
    RawResponse Put(const std::string& path, const boost::json::value& value,
                    Timeout timeout = {}) const;
    RawResponse Patch(const std::string& path, const boost::json::value& value,
                      Timeout timeout = {}) const;
    RawResponse PostRaw(const std::string& path, const boost::json::value& value,
                        Timeout timeout = {}) const;
    RawResponse PutRaw(const std::string& path, const boost::json::value& value,
                       Timeout timeout = {}) const;
    RawResponse PatchRaw(const std::string& path, const boost::json::value& value,
                         Timeout timeout = {}) const;

    // "application/x-www-form-urlencoded": the text as given, or buildForm(object).
    RawResponse PostForm(const std::string& path, const std::string& form,
                         Timeout timeout = {}) const;
    RawResponse PutForm(const std::string& path, const std::string& form,
                        Timeout timeout = {}) const;
    RawResponse PatchForm(const std::string& path, const std::string& form,
                          Timeout timeout = {}) const;
    RawResponse DeleteForm(const std::string& path, const std::string& form,
                           Timeout timeout = {}) const;
    RawResponse PostFormRaw(const std::string& path, const std::string& form,
                            Timeout timeout = {}) const;
    RawResponse PutFormRaw(const std::string& path, const std::string& form,
                           Timeout timeout = {}) const;
    RawResponse PatchFormRaw(const std::string& path, const std::string& form,
                             Timeout timeout = {}) const;
    RawResponse DeleteFormRaw(const std::string& path, const std::string& form,
                              Timeout timeout = {}) const;
    RawResponse PostForm(const std::string& path, const boost::json::object& object,
                         Timeout timeout = {}) const;
    RawResponse PutForm(const std::string& path, const boost::json::object& object,
                        Timeout timeout = {}) const;
    RawResponse PatchForm(const std::string& path, const boost::json::object& object,
                          Timeout timeout = {}) const;
    RawResponse DeleteForm(const std::string& path, const boost::json::object& object,
                           Timeout timeout = {}) const;
    RawResponse PostFormRaw(const std::string& path, const boost::json::object& object,
                            Timeout timeout = {}) const;
    RawResponse PutFormRaw(const std::string& path, const boost::json::object& object,
                           Timeout timeout = {}) const;
    RawResponse PatchFormRaw(const std::string& path, const boost::json::object& object,
                             Timeout timeout = {}) const;
    RawResponse DeleteFormRaw(const std::string& path, const boost::json::object& object,
                              Timeout timeout = {}) const;

    // The request path is appendParams(path, params).
    RawResponse GetWithQuery(const std::string& path, const NameValues& params,
                             Timeout timeout = {}) const;
    RawResponse DeleteWithQuery(const std::string& path, const NameValues& params,
                                Timeout timeout = {}) const;
    RawResponse PostWithQuery(const std::string& path, const boost::json::value& value,
                              const NameValues& params, Timeout timeout = {}) const;
    RawResponse PutWithQuery(const std::string& path, const boost::json::value& value,
                             const NameValues& params, Timeout timeout = {}) const;
    RawResponse PatchWithQuery(const std::string& path, const boost::json::value& value,
                               const NameValues& params, Timeout timeout = {}) const;

    // POST multipart/form-data: the file part named fieldName first, then the text fields.
    RawResponse PostFormData(const std::string& path, const std::string& fieldName,
                             const std::string& fileName, const std::vector<std::uint8_t>& bytes,
                             const NameValues& fields, Timeout timeout = {}) const;
    // The same with the file part read from the slice's open descriptor while it is sent, a
    // block at a time. Throws Poco::IOException when the file cannot be read as far as the
    // slice says.
    RawResponse PostFormFile(const std::string& path, const std::string& fieldName,
                             const std::string& fileName, const Utils::FileSlice& file,
                             const NameValues& fields, Timeout timeout = {}) const;

    // path unchanged without params; otherwise path with the params as a percent-encoded
    // query (everything but letters, digits and "-_.~" encoded). path itself is not touched:
    // callers encode ids placed in it with encodePathSegment.
    std::string appendParams(const std::string& path, const NameValues& params) const;
    // Form text of the members in order; strings as they are, other values as compact JSON.
    static std::string buildForm(const boost::json::object& object);

  private:
    // A request body: its length, how to write it, and its text when it is held in memory
    // (null: nothing of it is logged).
    struct OutgoingBody {
        std::uint64_t size = 0;
        std::function<void(std::ostream&)> write;
        const std::string* text = nullptr;
    };
    RawResponse exchange(const std::string& method, const std::string& path,
                         const OutgoingBody* body, const std::string& contentType,
                         Timeout timeout) const;
    RawResponse exchangeUnobserved(const std::string& method, const std::string& path,
                                   const OutgoingBody* body, const std::string& contentType,
                                   Timeout timeout) const;
    // One request on a connection of its own, through proxy when one is given.
    RawResponse transfer(const std::string& method, const Poco::URI& target,
                         std::string pathAndQuery,
                         const Poco::AutoPtr<Poco::Net::Context>& tlsContext,
                         const std::string& authToken,
                         const std::optional<Sync::ProxyServer>& proxy, const OutgoingBody* body,
                         const std::string& contentType, Timeout timeout) const;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::Engine::REST
