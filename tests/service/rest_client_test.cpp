// RestClient against a real loopback HTTP(S) server that records what it received and
// answers as each test scripts it.

#include "rest_client.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "log_capture.h"
#include "logger.h"
#include "unlinked_file.h"

namespace korvane::Engine::REST {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct Received {
    std::string method;
    std::string uri;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    bool has(const std::string& name) const {
        return std::any_of(headers.begin(), headers.end(),
                           [&](const auto& h) { return Poco::icompare(h.first, name) == 0; });
    }
    std::string get(const std::string& name) const {
        for (const auto& [key, value] : headers) {
            if (Poco::icompare(key, name) == 0) return value;
        }
        return "<absent>";
    }
};

struct Reply {
    int status = 200;
    std::string body = "ok";
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0};
};

using Script = std::function<Reply(const Received&)>;

// HTTP server on an ephemeral loopback port. Handlers run on the server's own pool, which the
// destructor joins, so no handler outlives the recorded state.
class LoopbackServer {
  public:
    explicit LoopbackServer(Script script = {}, Poco::Net::Context::Ptr tls = nullptr)
        : script_(script ? std::move(script) : [](const Received&) { return Reply{}; }),
          pool_(2, 16) {
        const Poco::Net::SocketAddress address("127.0.0.1", 0);
        Poco::Net::ServerSocket socket;
        if (tls) {
            socket = Poco::Net::SecureServerSocket(address, 64, tls);
        } else {
            socket = Poco::Net::ServerSocket(address, 64);
        }
        port_ = socket.address().port();
        auto params = Poco::AutoPtr<Poco::Net::HTTPServerParams>(new Poco::Net::HTTPServerParams);
        params->setMaxThreads(16);
        params->setKeepAlive(false);
        server_ =
            std::make_unique<Poco::Net::HTTPServer>(new Factory(*this), pool_, socket, params);
        server_->start();
    }

    ~LoopbackServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        server_->stopAll(true);
        pool_.joinAll();
    }

    int port() const { return port_; }
    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    Received last() const {
        std::lock_guard lock(mutex_);
        return received_.empty() ? Received{} : received_.back();
    }

  private:
    class Handler : public Poco::Net::HTTPRequestHandler {
      public:
        explicit Handler(LoopbackServer& owner) : owner_(owner) {}
        void handleRequest(Poco::Net::HTTPServerRequest& request,
                           Poco::Net::HTTPServerResponse& response) override {
            Received got;
            got.method = request.getMethod();
            got.uri = request.getURI();
            got.version = request.getVersion();
            for (const auto& [name, value] : request) got.headers.emplace_back(name, value);
            Poco::StreamCopier::copyToString(request.stream(), got.body);
            const Reply reply = owner_.script_(got);
            {
                std::unique_lock lock(owner_.mutex_);
                owner_.received_.push_back(got);
                owner_.wake_.wait_for(lock, reply.delay, [this] { return owner_.stopping_; });
            }
            response.setStatusAndReason(
                static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
            for (const auto& [name, value] : reply.headers) response.add(name, value);
            response.setContentLength64(static_cast<Poco::Int64>(reply.body.size()));
            response.send() << reply.body;
        }

      private:
        LoopbackServer& owner_;
    };

    class Factory : public Poco::Net::HTTPRequestHandlerFactory {
      public:
        explicit Factory(LoopbackServer& owner) : owner_(owner) {}
        Poco::Net::HTTPRequestHandler* createRequestHandler(
            const Poco::Net::HTTPServerRequest&) override {
            return new Handler(owner_);
        }

      private:
        LoopbackServer& owner_;
    };

    Script script_;
    Poco::ThreadPool pool_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Received> received_;
    std::unique_ptr<Poco::Net::HTTPServer> server_;
};

using Testing::closedPort;
using Testing::LogCapture;

TEST(RestClientBaseUrl, ParsesSchemeHostPortAndPath) {
    struct Case {
        std::string url;
        int port;
        std::string scheme, host;
        unsigned short effectivePort;
        std::string path;
    };
    const Case cases[] = {
        {"192.168.1.10", 8080, "http", "192.168.1.10", 8080, "/"},
        {"http://10.0.0.5:81/x", 0, "http", "10.0.0.5", 81, "/x"},
        {"http://10.0.0.5:81", 8080, "http", "10.0.0.5", 8080, "/"},
        {"http://10.0.0.5:81/", -3, "http", "10.0.0.5", 81, "/"},
        {"https://monitoring.example", 0, "https", "monitoring.example", 443, "/"},
        {"https://monitoring.example:8443/base/", 0, "https", "monitoring.example", 8443, "/base/"},
        {"camera:0", 0, "http", "camera", 80, "/"},
        {"camera:", 0, "http", "camera", 80, "/"},
        {"ftp://host", 0, "http", "ftp", 80, "//host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " port " + std::to_string(c.port));
        const RestClient client(c.url, c.port);
        const Poco::URI& uri = client.getBaseUri();
        EXPECT_EQ(uri.getScheme(), c.scheme);
        EXPECT_EQ(uri.getHost(), c.host);
        EXPECT_EQ(uri.getPort(), c.effectivePort);
        EXPECT_EQ(uri.getPath(), c.path);
    }
}

TEST(RestClientBaseUrl, RejectsMalformedAddresses) {
    struct Case {
        std::string url;
        int port;
        std::string message;
    };
    const Case cases[] = {
        {":8080", 0, "Invalid base URL: host is empty"},
        {"http://:8080/api", 0, "Invalid base URL: host is empty"},
        {"", 80, "Invalid base URL: host is empty"},
        {"10.0.0.5:99999", 0, "Invalid port in base URL"},
        {"10.0.0.5:abc", 0, "Invalid port in base URL"},
        {"10.0.0.5:80abc", 0, "Invalid port in base URL"},
        {"10.0.0.5:-80", 0, "Invalid port in base URL"},
        {"10.0.0.5:99999999999", 0, "Invalid port in base URL"},
        {"10.0.0.5", 70000, "Port out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " port " + std::to_string(c.port));
        try {
            RestClient client(c.url, c.port);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(RestClientEncoding, UrlEncodeKeepsUnreservedAndPathCharactersOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"AZaz09-_.~/?#", "AZaz09-_.~/?#"},
        {"a b", "a%20b"},
        {"!$&'()*+,;=:@[]", "%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40%5B%5D"},
        {"%<>{}|\\\"^`", "%25%3C%3E%7B%7D%7C%5C%22%5E%60"},
        {std::string("\x01\x7f\n", 3), "%01%7F%0A"},
        {"\xd0\x96", "%D0%96"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(UrlEncode(input), expected) << input;
}

TEST(RestClientEncoding, BuildFormEncodesMembersInOrder) {
    EXPECT_EQ(RestClient::buildForm({{"a", "x y"}, {"b", 2}, {"c", true}}), "a=x%20y&b=2&c=true");
    EXPECT_EQ(RestClient::buildForm({}), "");
    boost::json::object nested{{"z key", boost::json::object{{"k", "v"}}}, {"n", nullptr}};
    EXPECT_EQ(RestClient::buildForm(nested), "z%20key=%7B%22k%22%3A%22v%22%7D&n=null");
    EXPECT_EQ(RestClient::buildForm({{"grant_type", "client_credentials"}, {"s", "a&b=c"}}),
              "grant_type=client_credentials&s=a%26b%3Dc");
}

TEST(RestClientEncoding, AppendParamsEncodesQueryDelimiters) {
    const RestClient client("127.0.0.1", 80);
    EXPECT_EQ(client.appendParams("/api/v1/tasks", {}), "/api/v1/tasks");
    EXPECT_EQ(client.appendParams("/api/v1/tasks", {{"limit", "10"}, {"state", "new"}}),
              "/api/v1/tasks?limit=10&state=new");
    EXPECT_EQ(client.appendParams("/p", {{"k&=", "a+b;c:d/e?f#g@h"}, {"sp ace", ""}}),
              "/p?k%26%3D=a%2Bb%3Bc%3Ad%2Fe%3Ff%23g%40h&sp%20ace=");
}

TEST(RestClientRedaction, HidesSecretValuesWhereverTheyAppear) {
    const std::pair<std::string, std::string> cases[] = {
        {"grant_type=client_credentials&client_id=device&client_secret=S3cr%2Ft",
         "grant_type=client_credentials&client_id=device&client_secret=***"},
        {"client_secret=abc&refresh_token=def", "client_secret=***&refresh_token=***"},
        {"grant_type=refresh_token&refresh_token=xyz",
         "grant_type=refresh_token&refresh_token=***"},
        {R"({"access_token":"eyJ.a\"b.c","expires_in":300,"refresh_token" : "r1"})",
         R"({"access_token":"***","expires_in":300,"refresh_token" : "***"})"},
        {R"({"grant_type":"refresh_token","x":1})", R"({"grant_type":"refresh_token","x":1})"},
        {R"({"payload":"{\"access_token\":\"t0k\"}"})",
         R"({"payload":"{\"access_token\":\"***\"}"})"},
        {R"({"access_token":12345})", R"({"access_token":***})"},
        {R"({"access_token":"cut-off-by-the-log-lim)", R"({"access_token":"***)"},
        {"/api/v1/x?access_token=abc#frag", "/api/v1/x?access_token=***#frag"},
        {"client_secret=", "client_secret="},
        {"nothing secret here", "nothing secret here"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(redactSecrets(input), expected) << input;
}

class RestClientHttpTest : public ::testing::Test {};

TEST_F(RestClientHttpTest, RequestsWithoutBodyCarryNoContentHeaders) {
    LoopbackServer server;
    const RestClient client(server.url("/base"), 0);
    const std::vector<std::pair<std::string, std::function<RawResponse()>>> calls = {
        {"GET", [&] { return client.Get("/api/get_result"); }},
        {"GET", [&] { return client.GetRaw("/api/get_result"); }},
        {"DELETE", [&] { return client.Delete("/api/get_result"); }},
        {"GET", [&] { return client.GetWithQuery("/api/get_result", {}); }},
    };
    for (const auto& [method, call] : calls) {
        SCOPED_TRACE(method);
        const RawResponse response = call();
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "ok");
        const Received got = server.last();
        EXPECT_EQ(got.method, method);
        EXPECT_EQ(got.uri, "/api/get_result");
        EXPECT_EQ(got.version, "HTTP/1.1");
        EXPECT_FALSE(got.has("Content-Type"));
        EXPECT_FALSE(got.has("Content-Length"));
        EXPECT_FALSE(got.has("Authorization"));
        EXPECT_EQ(got.get("User-Agent"), "Pellix-RESTClient");
    }
}

TEST_F(RestClientHttpTest, RequestFamilySendsItsMethodBodyAndContentType) {
    LoopbackServer server;
    const RestClient client("127.0.0.1", server.port());
    const boost::json::value json = {{"id", 7}, {"name", "a b"}};
    const boost::json::object form = {{"a", "x y"}, {"b", 2}};
    const std::string kJson = "application/json";
    const std::string kForm = "application/x-www-form-urlencoded";
    const std::string jsonText = R"({"id":7,"name":"a b"})";
    const NameValues query = {{"from", "1"}, {"to", "a b"}};
    struct Case {
        std::function<RawResponse()> call;
        std::string method, uri, contentType, body;
    };
    const Case cases[] = {
        {[&] { return client.Post("/p", json); }, "POST", "/p", kJson, jsonText},
        {[&] { return client.Put("/p", json); }, "PUT", "/p", kJson, jsonText},
        {[&] { return client.Patch("/p", json); }, "PATCH", "/p", kJson, jsonText},
        {[&] { return client.PostRaw("/p", nullptr); }, "POST", "/p", kJson, "null"},
        {[&] { return client.PutRaw("/p", json); }, "PUT", "/p", kJson, jsonText},
        {[&] { return client.PatchRaw("/p", json); }, "PATCH", "/p", kJson, jsonText},
        {[&] { return client.PostForm("/f", std::string("k=v")); }, "POST", "/f", kForm, "k=v"},
        {[&] { return client.PutForm("/f", std::string("k=v")); }, "PUT", "/f", kForm, "k=v"},
        {[&] { return client.PatchForm("/f", std::string("k=v")); }, "PATCH", "/f", kForm, "k=v"},
        {[&] { return client.DeleteForm("/f", std::string("k=v")); }, "DELETE", "/f", kForm, "k=v"},
        {[&] { return client.PostFormRaw("/f", form); }, "POST", "/f", kForm, "a=x%20y&b=2"},
        {[&] { return client.PutFormRaw("/f", form); }, "PUT", "/f", kForm, "a=x%20y&b=2"},
        {[&] { return client.PatchFormRaw("/f", form); }, "PATCH", "/f", kForm, "a=x%20y&b=2"},
        {[&] { return client.DeleteFormRaw("/f", form); }, "DELETE", "/f", kForm, "a=x%20y&b=2"},
        {[&] { return client.PostForm("/f", form); }, "POST", "/f", kForm, "a=x%20y&b=2"},
        {[&] { return client.GetWithQuery("/q", query); }, "GET", "/q?from=1&to=a%20b", "", ""},
        {[&] { return client.DeleteWithQuery("/q", query); }, "DELETE", "/q?from=1&to=a%20b", "",
         ""},
        {[&] { return client.PostWithQuery("/q", json, query); }, "POST", "/q?from=1&to=a%20b",
         kJson, jsonText},
        {[&] { return client.PutWithQuery("/q", json, query); }, "PUT", "/q?from=1&to=a%20b", kJson,
         jsonText},
        {[&] { return client.PatchWithQuery("/q", json, query); }, "PATCH", "/q?from=1&to=a%20b",
         kJson, jsonText},
        {[&] {
             const std::string body = "raw";
             return client.request("PUT", "/r", &body, "text/plain");
         },
         "PUT", "/r", "text/plain", "raw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.uri + " " + c.body);
        EXPECT_EQ(c.call().status, 200);
        const Received got = server.last();
        EXPECT_EQ(got.method, c.method);
        EXPECT_EQ(got.uri, c.uri);
        EXPECT_EQ(got.get("Content-Type"), c.contentType.empty() ? "<absent>" : c.contentType);
        EXPECT_EQ(got.body, c.body);
        if (!c.contentType.empty()) {
            EXPECT_EQ(got.get("Content-Length"), std::to_string(c.body.size()));
        }
    }
}

TEST_F(RestClientHttpTest, ErrorStatusIsReturnedNotThrown) {
    LoopbackServer server([](const Received&) {
        Reply reply;
        reply.status = 500;
        reply.body = R"({"error":"boom"})";
        reply.headers = {{"X-Trace", "first"}, {"X-Trace", "second"}, {"X-Other", "1"}};
        return reply;
    });
    const RestClient client("127.0.0.1", server.port());
    const RawResponse response = client.Post("/api/set_config", {{"k", 1}});
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.reason, "Internal Server Error");
    EXPECT_EQ(response.body, R"({"error":"boom"})");
    EXPECT_EQ(response.headers.at("X-Trace"), "second");
    EXPECT_EQ(response.headers.at("X-Other"), "1");
    EXPECT_EQ(response.headers.at("Content-Length"), "16");
}

TEST_F(RestClientHttpTest, BearerTokenIsSentUntilCleared) {
    LoopbackServer server;
    RestClient client("127.0.0.1", server.port());
    client.setAuthToken("tok-123");
    client.Get("/api/v1/devices/D1/attributes");
    EXPECT_EQ(server.last().get("Authorization"), "Bearer tok-123");

    const RestClient copy(client);  // a copy carries the token it had
    client.clearAuthToken();
    client.Get("/api/v1/devices/D1/attributes");
    EXPECT_FALSE(server.last().has("Authorization"));
    copy.Get("/x");
    EXPECT_EQ(server.last().get("Authorization"), "Bearer tok-123");

    client.setAuthToken("");
    client.Get("/x");
    EXPECT_FALSE(server.last().has("Authorization"));
}

TEST_F(RestClientHttpTest, PostFormDataSendsExactMultipartBytes) {
    LoopbackServer server;
    const RestClient client("127.0.0.1", server.port());
    const std::string boundary = "----KorvaneBoundary7d91d0a123456";
    const std::vector<std::uint8_t> bytes = {'P', 'K', 0x00, 0xFF, '\r', '\n', 0x7F};
    const std::string file(bytes.begin(), bytes.end());

    client.PostFormData("/api/import_template", "file", "t.evom", bytes,
                        {{"md5", "abc"}, {"mode", "1"}});
    Received got = server.last();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.get("Content-Type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(got.body, "--" + boundary +
                            "\r\n"
                            "Content-Disposition: form-data; name=\"file\"; filename=\"t.evom\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n" +
                            file + "\r\n--" + boundary +
                            "\r\n"
                            "Content-Disposition: form-data; name=\"md5\"\r\n\r\nabc\r\n--" +
                            boundary +
                            "\r\n"
                            "Content-Disposition: form-data; name=\"mode\"\r\n\r\n1\r\n--" +
                            boundary + "--\r\n");

    client.PostFormData("/api/offline_upgrade", "fw", "a.bin", {}, {});
    got = server.last();
    EXPECT_EQ(got.body, "--" + boundary +
                            "\r\n"
                            "Content-Disposition: form-data; name=\"fw\"; filename=\"a.bin\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n\r\n--" +
                            boundary + "--\r\n");
    EXPECT_EQ(got.get("Content-Length"), std::to_string(got.body.size()));

    // A slice of an unlinked file, longer than one copy block, goes out as the same bytes would.
    std::string large(200 * 1024, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
    const korvane::Testing::UnlinkedFile saved("HEAD" + large + "TAIL");
    client.PostFormData("/api/offline_upgrade", "file", "fw.bin", {large.begin(), large.end()},
                        {{"md5", "abc"}});
    const std::string expected = server.last().body;
    client.PostFormFile("/api/offline_upgrade", "file", "fw.bin", {saved.fd(), 4, large.size()},
                        {{"md5", "abc"}});
    EXPECT_EQ(server.last().body, expected);
    EXPECT_THROW(client.PostFormFile("/api/offline_upgrade", "file", "fw.bin",
                                     {saved.fd(), 9, large.size()}, {}),
                 Poco::Exception);
}

TEST_F(RestClientHttpTest, SlowServerEndsInTimeout) {
    LoopbackServer server([](const Received&) {
        Reply reply;
        reply.delay = 3s;
        return reply;
    });
    RestClient client("127.0.0.1", server.port());

    auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Get("/api/get_result", 200ms), Poco::TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);

    // The default from setTimeout applies when the call names none.
    client.setTimeout(1);
    started = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Post("/api/set_sync_slave", nullptr), Poco::TimeoutException);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 2500ms);
}

TEST_F(RestClientHttpTest, TransportFailurePropagates) {
    const RestClient client("127.0.0.1", closedPort());
    EXPECT_THROW(client.Get("/api/get_device_info", 2s), Poco::Net::NetException);
    EXPECT_FALSE(client.checkConnectionHTTP());
}

TEST_F(RestClientHttpTest, ConcurrentRequestsKeepTheirOwnTimeouts) {
    LoopbackServer server([](const Received& got) {
        Reply reply;
        reply.delay = 1500ms;
        reply.body = got.uri;
        return reply;
    });
    RestClient client("127.0.0.1", server.port());
    client.setTimeout(1);  // shorter than the delay: requests without their own limit would fail

    constexpr int kThreads = 4;
    std::vector<std::string> outcome(kThreads);
    std::vector<std::chrono::steady_clock::duration> took(kThreads);
    std::atomic<bool> done{false};
    // Settings change while requests are in flight; a sanitizer build checks the races.
    std::thread churn([&] {
        for (int i = 0; !done; ++i) {
            client.setAuthToken("t" + std::to_string(i));
            client.clearAuthToken();
            client.setTimeout(1);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const auto started = std::chrono::steady_clock::now();
            try {
                const auto limit = i == 0 ? Timeout(200ms) : Timeout(10s);
                outcome[i] = client.Get("/api/op" + std::to_string(i), limit).body;
            } catch (const Poco::TimeoutException&) {
                outcome[i] = "timeout";
            } catch (const std::exception& e) {
                outcome[i] = e.what();
            }
            took[i] = std::chrono::steady_clock::now() - started;
        });
    }
    for (auto& t : threads) t.join();
    done = true;
    churn.join();

    EXPECT_EQ(outcome[0], "timeout");
    EXPECT_LT(took[0], 1200ms);
    for (int i = 1; i < kThreads; ++i) EXPECT_EQ(outcome[i], "/api/op" + std::to_string(i));
    EXPECT_EQ(server.received().size(), static_cast<std::size_t>(kThreads));
}

TEST_F(RestClientHttpTest, LogLinesBoundBodiesAndHideBulkTransfers) {
    const std::string big = std::string(1000, 'a') + "TAIL";
    LoopbackServer server([&](const Received& got) {
        Reply reply;
        reply.body = got.uri == "/api/get_image" ? std::string(5000, '\xff') : big;
        return reply;
    });
    const RestClient client("127.0.0.1", server.port());
    LogCapture log;

    client.PostForm("/api/add_item", big);
    std::string text = log.text();
    const std::string prefix = "http://127.0.0.1:" + std::to_string(server.port());
    EXPECT_NE(text.find("send request POST " + prefix + "/api/add_item\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("body: " + std::string(1000, 'a') + "\n"), std::string::npos);
    EXPECT_NE(text.find("response 200 OK - " + std::string(1000, 'a') + "\n"), std::string::npos);
    EXPECT_EQ(text.find("TAIL"), std::string::npos);

    LogCapture upload;
    client.PostFormData("/api/import_template", "file", "x.evom", {'Z', 'I', 'P'}, {});
    text = upload.text();
    EXPECT_NE(text.find("send request POST"), std::string::npos);
    EXPECT_EQ(text.find("body:"), std::string::npos) << text;

    LogCapture image;
    client.Get("/api/get_image");
    client.Get("/download/t.evo");
    text = image.text();
    EXPECT_NE(text.find("response 200 OK - 5000 bytes\n"), std::string::npos) << text;
    EXPECT_NE(text.find("response 200 OK - 1004 bytes\n"), std::string::npos) << text;
}

TEST_F(RestClientHttpTest, SecretsNeverReachTheLog) {
    LoopbackServer server([](const Received&) {
        Reply reply;
        reply.body = R"({"access_token":"AT-SECRET","expires_in":300,"refresh_expires_in":1800,)"
                     R"("refresh_token":"RT-SECRET","token_type":"Bearer"})";
        return reply;
    });
    const RestClient client("127.0.0.1", server.port());
    LogCapture log;
    client.PostForm("/auth/realms/Korvane/protocol/openid-connect/token",
                    boost::json::object{{"grant_type", "client_credentials"},
                                        {"client_id", "device"},
                                        {"client_secret", "CS-SECRET"},
                                        {"refresh_token", "OLD-RT-SECRET"}});
    EXPECT_EQ(server.last().body,
              "grant_type=client_credentials&client_id=device&client_secret=CS-SECRET"
              "&refresh_token=OLD-RT-SECRET");
    client.GetWithQuery("/api/v1/x", {{"access_token", "Q-SECRET"}});
    client.Post("/api/v1/y", {{"client_secret", "J-SECRET"}});

    const std::string text = log.text();
    EXPECT_EQ(text.find("SECRET"), std::string::npos) << text;
    EXPECT_NE(text.find("client_id=device&client_secret=***&refresh_token=***"), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"({"access_token":"***","expires_in":300)"), std::string::npos) << text;
    EXPECT_NE(text.find("/api/v1/x?access_token=***"), std::string::npos) << text;
}

TEST_F(RestClientHttpTest, ConnectionProbeSendsHeadAndJudgesStatus) {
    int status = 200;
    LoopbackServer server([&](const Received&) {
        Reply reply;
        reply.status = status;
        reply.body.clear();
        return reply;
    });
    const RestClient client("http://127.0.0.1/ignored/path", server.port());
    EXPECT_TRUE(client.checkConnectionHTTP());
    const Received got = server.last();
    EXPECT_EQ(got.method, "HEAD");
    EXPECT_EQ(got.uri, "/api/x");
    EXPECT_EQ(got.version, "HTTP/1.0");

    status = 404;
    EXPECT_TRUE(client.checkConnectionHTTP());
    status = 405;
    EXPECT_FALSE(client.checkConnectionHTTP());
}

// Text of the HTTP library's exception that call throws; "" when it succeeds.
std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Poco::Exception& e) {
        return e.displayText();
    }
    return "";
}

// TLS verification against servers with throw-away self-signed certificates.
class RestClientTlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::filesystem::temp_directory_path() /
               ("rest_client_tls_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        ready_ = makeCertificate("ip", "subjectAltName=IP:127.0.0.1") &&
                 makeCertificate("other", "subjectAltName=DNS:other.invalid");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        if (!ready_) GTEST_SKIP() << "the openssl command could not create test certificates";
    }

    static bool makeCertificate(const std::string& name, const std::string& altName) {
        const std::string base = (dir_ / name).string();
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
            " -subj /CN=korvane-test -addext " +
            altName + " -keyout " + base + ".key -out " + base + ".pem >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

    static std::string pem(const std::string& name) { return (dir_ / (name + ".pem")).string(); }

    static Poco::Net::Context::Ptr serverContext(const std::string& name) {
        Poco::Net::Context::Params params;
        params.privateKeyFile = (dir_ / (name + ".key")).string();
        params.certificateFile = pem(name);
        params.verificationMode = Poco::Net::Context::VERIFY_NONE;
        return new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, params);
    }

    static std::string httpsUrl(const LoopbackServer& server) {
        return "https://127.0.0.1:" + std::to_string(server.port());
    }

    static inline std::filesystem::path dir_;
    static inline bool ready_ = false;
};

TEST_F(RestClientTlsTest, SelfSignedServerIsRejectedUnlessVerificationIsOff) {
    LoopbackServer server({}, serverContext("ip"));
    RestClient client(httpsUrl(server), 0);
    EXPECT_THAT(failureOf([&] { client.Get("/api/v1/ping", 5s); }),
                HasSubstr("certificate verify failed"));
    EXPECT_TRUE(server.received().empty());  // nothing, bearer token included, was sent

    client.setVerifyPeer(false);
    EXPECT_EQ(client.Get("/api/v1/ping", 5s).status, 200);

    const RestClient lenient(httpsUrl(server), 0, TlsSettings{false, ""});
    EXPECT_EQ(lenient.Get("/api/v1/ping", 5s).body, "ok");
    client.setVerifyPeer(true);
    EXPECT_THAT(failureOf([&] { client.Get("/api/v1/ping", 5s); }),
                HasSubstr("certificate verify failed"));
}

TEST_F(RestClientTlsTest, TrustedCertificateMustNameTheHost) {
    LoopbackServer matching({}, serverContext("ip"));
    const RestClient trusted(httpsUrl(matching), 0, TlsSettings{true, pem("ip")});
    EXPECT_EQ(trusted.Get("/api/v1/ping", 5s).status, 200);

    LoopbackServer misnamed({}, serverContext("other"));
    const RestClient wrongHost(httpsUrl(misnamed), 0, TlsSettings{true, pem("other")});
    EXPECT_THAT(failureOf([&] { wrongHost.Get("/api/v1/ping", 5s); }),
                HasSubstr("certificate verify failed"));
    EXPECT_TRUE(misnamed.received().empty());
}

}  // namespace
}  // namespace korvane::Engine::REST
