#include "systemd_notifier.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "notify_socket.h"
#include "temp_dir.h"

using namespace korvane::Testing;
using namespace std::chrono_literals;
using korvane::Engine::Service::SystemdNotifier;

namespace {

// Stands in for the Agent's local API: answers get_info while `answering`, otherwise holds
// every request without an answer, as a wedged server would.
class FakeLocalApi {
  public:
    FakeLocalApi()
        : server_(new Factory(*this), Poco::Net::ServerSocket(0), new Poco::Net::HTTPServerParams) {
        server_.start();
    }
    ~FakeLocalApi() {
        closing_ = true;
        server_.stopAll(true);
    }
    std::uint16_t port() const { return server_.port(); }
    std::atomic<bool> answering{true};

  private:
    struct Handler : Poco::Net::HTTPRequestHandler {
        explicit Handler(FakeLocalApi& api) : api(api) {}
        void handleRequest(Poco::Net::HTTPServerRequest&,
                           Poco::Net::HTTPServerResponse& response) override {
            while (!api.answering && !api.closing_) std::this_thread::sleep_for(20ms);
            response.setContentType("application/json");
            response.send() << R"({"code":0,"data":{"non_send_alert_count":1,)"
                            << R"("non_send_recognition_count":7,"version":"x"}})";
        }
        FakeLocalApi& api;
    };
    struct Factory : Poco::Net::HTTPRequestHandlerFactory {
        explicit Factory(FakeLocalApi& api) : api(api) {}
        Poco::Net::HTTPRequestHandler* createRequestHandler(
            const Poco::Net::HTTPServerRequest&) override {
            return new Handler(api);
        }
        FakeLocalApi& api;
    };
    std::atomic<bool> closing_{false};
    Poco::Net::HTTPServer server_;
};

}  // namespace

// The liveness promise: pings only while the local API answers, none while it hangs, again
// once it recovers, and STOPPING=1 last.
TEST(SystemdNotifier, PingsOnlyWhileTheLocalApiAnswers) {
    TempDir dir;
    NotifySocket systemd(dir.file("notify"));
    ScopedEnv socket("NOTIFY_SOCKET", dir.file("notify").c_str());
    ScopedEnv watchdog("WATCHDOG_USEC", "1000000");
    FakeLocalApi api;
    SystemdNotifier notifier({"127.0.0.1", api.port()}, [] { return false; });
    notifier.start();

    const auto ready = systemd.waitFor("READY=1", 5s);
    ASSERT_TRUE(ready) << systemd.received();
    EXPECT_NE(ready->find("STATUS=Serving on port " + std::to_string(api.port()) +
                          "; camera not connected; 7 recognitions and 1 alerts waiting"),
              std::string::npos)
        << *ready;
    ASSERT_TRUE(systemd.waitFor("WATCHDOG=1", 2s)) << systemd.received();

    api.answering = false;
    ASSERT_TRUE(systemd.waitFor("STATUS=The local API does not answer", 8s)) << systemd.received();
    EXPECT_FALSE(systemd.waitFor("WATCHDOG=1", 2500ms)) << "pinged while the API hangs";

    api.answering = true;
    EXPECT_TRUE(systemd.waitFor("WATCHDOG=1", 6s)) << "no ping after the API recovered";
    notifier.stop();
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", 2s)) << systemd.received();
}
