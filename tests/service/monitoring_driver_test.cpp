#include "monitoring_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "../utils/migrated_store.h"
#include "device_data_provider.h"
#include "http_client.h"
#include "log_capture.h"
#include "monitoring_simulator.h"
#include "sqlite_db.h"
#include "state.h"
#include "temp_dir.h"

using namespace korvane;
using namespace korvane::Testing;
using Engine::Sync::MonitoringDriver;
using MonitoringSim::MonitoringSimulator;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace Routes = MonitoringSim::Routes;

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

MonitoringSim::NameValues formNames(const MonitoringSimulator::TokenRequest& request) {
    MonitoringSim::NameValues names;
    for (const auto& [name, value] : request.form) names.emplace_back(name, "");
    return names;
}

class MonitoringDriverTest : public MigratedStoreTest {
  protected:
    MonitoringDriverTest() {
        sim_.start();
        driver_ = std::make_unique<MonitoringDriver>(session(), config_, dbMutex_);
    }
    ~MonitoringDriverTest() override {
        driver_.reset();
        sim_.stop();
    }

    // Points the driver at the simulator. Unless the loop is wanted, the simulator is down
    // while the loop starts and is stopped again, so that tests drive the token themselves
    // from a driver that holds none.
    void configure(const std::string& deviceId = "D1", bool startLoop = false) {
        if (!startLoop) sim_.setDown(true);
        driver_->setMonitoringSettings("KORVANE_MONITORING", "http://127.0.0.1",
                                       std::to_string(sim_.port()), false, false, 20000,
                                       "sim-secret", deviceId, dir_.file("images"), nullptr,
                                       nullptr, deviceData_, [] {});
        if (startLoop) return;
        driver_->stop();
        sim_.setDown(false);
        sim_.clearRecords();
    }

    MonitoringSimulator sim_;
    Utils::ConfigMap config_;
    std::mutex dbMutex_;
    std::shared_ptr<Engine::Sync::DeviceDataProvider> deviceData_ =
        std::make_shared<Engine::Sync::DeviceDataProvider>(nullptr);
    std::unique_ptr<MonitoringDriver> driver_;
};

TEST_F(MonitoringDriverTest, AuthenticatesWithClientCredentialsInOrder) {
    configure();
    EXPECT_EQ(driver_->check_connect(), -10002);
    const auto before = std::chrono::system_clock::now();
    ASSERT_TRUE(driver_->authenticate());
    EXPECT_EQ(driver_->check_connect(), 0);

    const auto requests = sim_.tokenRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].form, (MonitoringSim::NameValues{{"grant_type", "client_credentials"},
                                                           {"client_id", "device"},
                                                           {"client_secret", "sim-secret"}}));
    const auto token = driver_->getTokenSettings();
    EXPECT_EQ(token.accessToken, requests[0].accessToken);
    EXPECT_EQ(token.expiresIn, 300);
    EXPECT_EQ(token.tokenType, "Bearer");
    EXPECT_FALSE(token.refreshToken.empty());
    EXPECT_FALSE(token.sessionState.empty());

    // 300 s lifetime less the 60 s margin.
    const auto expiry = driver_->tokenExpiry();
    EXPECT_GE(expiry, before + std::chrono::seconds(240));
    EXPECT_LE(expiry, std::chrono::system_clock::now() + std::chrono::seconds(240));

    // The token now travels with every request.
    driver_->get_stores_list({});
    const auto stores = sim_.requests("GET", Routes::kStores);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_TRUE(stores[0].tokenValid);
}

TEST_F(MonitoringDriverTest, ShortLivedTokenIsRenewedOnEveryCall) {
    sim_.setExpiresIn(30);  // below the margin: the expiry is already past
    configure();
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    const auto requests = sim_.tokenRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].renewal);
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_TRUE(requests[i].renewal);
        EXPECT_EQ(formNames(requests[i]), (MonitoringSim::NameValues{{"grant_type", ""},
                                                                     {"client_id", ""},
                                                                     {"client_secret", ""},
                                                                     {"refresh_token", ""}}));
    }
    EXPECT_EQ(driver_->getTokenSettings().accessToken, requests.back().accessToken);

    // A fresh token with a normal lifetime is kept without asking again.
    sim_.setExpiresIn(300);
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    EXPECT_EQ(sim_.tokenRequests().size(), 4u);
}

TEST_F(MonitoringDriverTest, RefusedRenewalFallsBackToClientCredentialsInTheSameCall) {
    sim_.setExpiresIn(30);
    configure();
    ASSERT_TRUE(driver_->authenticate());
    sim_.expireTokens(true);  // the refresh token is now refused with 401
    LogCapture log;
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    const auto requests = sim_.tokenRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[1].renewal);
    EXPECT_EQ(requests[1].status, 401);
    EXPECT_FALSE(requests[2].renewal);
    EXPECT_EQ(requests[2].status, 200);
    EXPECT_EQ(driver_->getTokenSettings().accessToken, requests[2].accessToken);
    EXPECT_THAT(log.text(), HasSubstr("refresh token fails with http code: 401"));
}

TEST_F(MonitoringDriverTest, IncompleteTokenAnswerStoresNothing) {
    configure();
    std::vector<std::string> errors;
    driver_->onError([&errors](const std::string& message) { errors.push_back(message); });
    sim_.omitFromNextToken("session_state");
    {
        LogCapture log;
        EXPECT_FALSE(driver_->authenticate());
        EXPECT_THAT(log.text(), HasSubstr("Failed to auth: "));
        EXPECT_THAT(log.text(), HasSubstr("session_state"));
    }
    EXPECT_EQ(driver_->check_connect(), -10002);
    EXPECT_EQ(driver_->getTokenSettings().accessToken, "");
    EXPECT_EQ(driver_->getTokenSettings().refreshToken, "");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], HasSubstr("Auth error: "));

    // Nothing of the rejected answer is reused: the retry is a plain client-credentials request.
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    const auto requests = sim_.tokenRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[1].renewal);
    EXPECT_EQ(driver_->check_connect(), 0);
}

TEST_F(MonitoringDriverTest, TokenEndpointFailuresReturnFalse) {
    configure();
    struct Case {
        const char* what;
        std::function<void()> script;
        const char* logged;
    } cases[] = {
        {"refused", [this] { sim_.refuseNextTokens(1, 401); },
         "Auth error, http response code: 401"},
        {"empty body", [this] { sim_.emptyNextToken(); }, "Empty response from auth server"},
        {"server down", [this] { sim_.setDown(true); }, "Failed to auth: "},
    };
    for (const auto& c : cases) {
        c.script();
        LogCapture log;
        EXPECT_FALSE(driver_->authenticate()) << c.what;
        EXPECT_THAT(log.text(), HasSubstr(c.logged)) << c.what;
        EXPECT_EQ(driver_->check_connect(), -10002) << c.what;
        sim_.setDown(false);
    }
}

TEST_F(MonitoringDriverTest, SecretsNeverReachTheLog) {
    LogCapture log;
    sim_.setExpiresIn(30);
    configure();
    ASSERT_TRUE(driver_->authenticate());
    ASSERT_TRUE(driver_->refreshTokenIfNeeded());
    const auto token = driver_->getTokenSettings();
    driver_->get_device_list({{"serial_number", "SN1"}});
    const std::string text = log.text();
    ASSERT_THAT(text, HasSubstr("Access token received and have size: "));
    EXPECT_THAT(text, Not(HasSubstr("sim-secret")));
    EXPECT_THAT(text, Not(HasSubstr(token.accessToken)));
    EXPECT_THAT(text, Not(HasSubstr(token.refreshToken)));
    for (const auto& request : sim_.tokenRequests()) {
        EXPECT_THAT(text, Not(HasSubstr(request.accessToken)));
    }
}

TEST_F(MonitoringDriverTest, DirectoryOperationsSendTheirMethodPathAndQuery) {
    configure();
    ASSERT_TRUE(driver_->authenticate());
    const MonitoringSim::NameValues params = {{"page", "1"}, {"size", "20"}, {"q", "a&b"}};
    const std::string body = R"({"name":"scale 7","serial_number":"SN7"})";
    struct Case {
        std::function<MonitoringDriver::Result()> call;
        std::string method;
        std::string target;
    } cases[] = {
        {[&] { return driver_->get_stores_list(params); }, "GET",
         "/api/v1/stores?page=1&size=20&q=a%26b"},
        {[&] { return driver_->get_stores_types_list({}); }, "GET", "/api/v1/stores/types"},
        {[&] { return driver_->get_stores_departments_list({}); }, "GET",
         "/api/v1/stores/departments"},
        {[&] { return driver_->get_stores_regions_list({}); }, "GET", "/api/v1/stores/regions"},
        {[&] { return driver_->get_devices_models_list({}); }, "GET", "/api/v1/devices/models"},
        {[&] {
             return driver_->get_device_list({{"type", "recognition_module"}});
         },
         "GET", "/api/v1/devices?type=recognition_module"},
        {[&] { return driver_->create_device(body, {}); }, "POST", "/api/v1/devices"},
        {[&] { return driver_->create_device_model(R"({"name":"M2"})", {}); }, "POST",
         "/api/v1/devices/models"},
        {[&] { return driver_->get_device_attributes_list(R"({"ids":["D1"]})", {}); }, "POST",
         "/api/v1/devices/data"},
        {[&] { return driver_->get_device_attributes("D7", {}); }, "GET",
         "/api/v1/devices/D7/attributes"},
    };
    for (const auto& c : cases) {
        sim_.clearRecords();
        const auto [code, response] = c.call();
        const auto requests = sim_.requests();
        ASSERT_EQ(requests.size(), 1u) << c.target;
        EXPECT_EQ(requests[0].method, c.method);
        EXPECT_EQ(requests[0].target, c.target);
        EXPECT_EQ(code, response.status == 200 ? 0 : -6207) << c.target;
        EXPECT_EQ(response.body, requests[0].answerBody) << c.target;
    }
    // The created device can be read, changed and deleted by its id.
    const auto created =
        boost::json::parse(driver_->create_device(R"({"serial_number":"SN8"})", {}).second.body);
    const std::string id(created.at("id").as_string());
    EXPECT_EQ(driver_->get_device_info(id, {}).first, 0);
    EXPECT_EQ(driver_->update_device_data(id, R"({"name":"renamed"})", {}).first, 0);
    EXPECT_EQ(driver_->delete_device(id, {}).first, 0);
    const auto after = driver_->get_device_info(id, {});
    EXPECT_EQ(after.first, -6207);
    EXPECT_EQ(after.second.status, 404);
}

TEST_F(MonitoringDriverTest, FailedDirectoryRequestsAnswerValidJson) {
    configure();
    ASSERT_TRUE(driver_->authenticate());

    // A refusal of the service is handed back unchanged.
    sim_.script("GET", Routes::kStores, {401, R"({"error":"denied"})"});
    auto [code, response] = driver_->get_stores_list({});
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(response.body, R"({"error":"denied"})");
    // The refused token is dropped; the loop would renew it at its next pass.
    EXPECT_EQ(driver_->check_connect(), -10002);
    ASSERT_TRUE(driver_->authenticate());

    // A body that is not JSON becomes a 502 whose body is still JSON.
    sim_.script("GET", Routes::kStores, {200, "<html>\"gateway\" \\ down</html>", "text/html"});
    std::tie(code, response) = driver_->get_stores_list({});
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(response.status, 502);
    EXPECT_EQ(response.reason, "Bad Gateway");
    EXPECT_TRUE(boost::json::parse(response.body).as_object().contains("error"));

    // A request body that is not JSON is never sent.
    sim_.clearRecords();
    std::tie(code, response) = driver_->create_device("{not json", {});
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(response.status, 502);
    EXPECT_TRUE(boost::json::parse(response.body).at("error").is_string());
    EXPECT_TRUE(sim_.requests().empty());

    // No service at all.
    sim_.setDown(true);
    std::tie(code, response) = driver_->get_device_list({});
    EXPECT_EQ(code, -6207);
    EXPECT_EQ(response.status, 502);
    EXPECT_NO_THROW(boost::json::parse(response.body));
}

TEST_F(MonitoringDriverTest, BadAnswerEscapesItsMessage) {
    const auto answer = MonitoringDriver::generate_bad_answer("say \"no\" \\ \n twice");
    EXPECT_EQ(answer.status, 502);
    EXPECT_EQ(answer.reason, "Bad Gateway");
    EXPECT_TRUE(answer.headers.empty());
    EXPECT_EQ(boost::json::parse(answer.body).at("error").as_string(), "say \"no\" \\ \n twice");
    EXPECT_EQ(MonitoringDriver::generate_bad_answer(nullptr).body, R"({"error":""})");
}

TEST_F(MonitoringDriverTest, IdsTravelAsOneEncodedPathSegment) {
    configure("dev/1?x#y");
    ASSERT_TRUE(driver_->authenticate());
    for (const std::string id : {"x?a=1", "a#b", "../../stores", "p q/r"}) {
        sim_.clearRecords();
        driver_->get_device_attributes(id, {{"k", "v"}});
        const auto requests = sim_.requests();
        ASSERT_EQ(requests.size(), 1u) << id;
        EXPECT_EQ(requests[0].route, Routes::kAttributes) << requests[0].target;
        EXPECT_EQ(requests[0].deviceId, id);
        EXPECT_EQ(requests[0].queryValue("k"), "v");
    }
    EXPECT_EQ(driver_->fullPath("/attributes"), "/api/v1/devices/dev%2F1%3Fx%23y/attributes");
}

TEST_F(MonitoringDriverTest, FullPathJoinsPartsWithSingleSlashes) {
    configure("D1");
    EXPECT_EQ(driver_->fullPath("/attributes"), "/api/v1/devices/D1/attributes");
    EXPECT_EQ(driver_->fullPath("attributes/"), "/api/v1/devices/D1/attributes");
    EXPECT_EQ(driver_->fullPath("/tasks", std::string("17"), "confirm"),
              "/api/v1/devices/D1/tasks/17/confirm");
    EXPECT_EQ(driver_->fullPath("/"), "/api/v1/devices/D1");
    EXPECT_EQ(driver_->fullPath(), "/api/v1/devices/D1");
}

TEST_F(MonitoringDriverTest, LoopStartsOnlyWithAnAddressAndStopsPromptly) {
    {
        LogCapture log;
        driver_->setMonitoringSettings("KORVANE_MONITORING", "", "443", true, false, 20000, "s",
                                       "D1", "", nullptr, nullptr, deviceData_, [] {});
        EXPECT_FALSE(driver_->running());
        EXPECT_THAT(log.text(),
                    HasSubstr("Can't start monitoring event loop, necessary settings not valid;"));
    }
    EXPECT_EQ(driver_->check_connect(), -10002);

    configure("D1", true);
    EXPECT_TRUE(driver_->running());
    EXPECT_TRUE(waitUntil([&] { return driver_->check_connect() == 0; }, kDeadline));
    EXPECT_EQ(State::getInstance().get("need_check_actual")->convert<bool>(), true);

    const auto begin = std::chrono::steady_clock::now();
    driver_->stop();
    EXPECT_FALSE(driver_->running());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));

    // A port that is not a number leaves the loop stopped.
    EXPECT_ANY_THROW(driver_->setMonitoringSettings("T", "http://127.0.0.1", "x80", false, false,
                                                    1000, "s", "D1", "", nullptr, nullptr,
                                                    deviceData_, [] {}));
    EXPECT_FALSE(driver_->running());
}

TEST_F(MonitoringDriverTest, LoopKeepsTryingWhileTheTokenServiceRefuses) {
    std::atomic<int> authErrors{0};
    driver_->onError([&authErrors](const std::string& message) {
        if (message.starts_with("Auth error: ")) ++authErrors;
    });
    sim_.refuseNextTokens(2, 503);
    configure("D1", true);
    EXPECT_TRUE(waitUntil([&] { return driver_->check_connect() == 0; }, kDeadline));
    EXPECT_EQ(authErrors.load(), 2);
    driver_->stop();
}

TEST_F(MonitoringDriverTest, LoopEndsWhenItsDeviceDataProviderIsGone) {
    LogCapture log;
    configure("D1", true);
    ASSERT_TRUE(waitUntil([&] { return driver_->check_connect() == 0; }, kDeadline));
    deviceData_.reset();
    EXPECT_TRUE(waitUntil([&] { return !driver_->running(); }, kDeadline));
    EXPECT_THAT(log.text(), HasSubstr("device_data_provider_ expired, reinit required"));
    driver_->attributes_update();
    EXPECT_THAT(log.text(),
                HasSubstr("device_data_provider_ expired, can't exec attributes_update();"));
}

TEST(DeviceDataScheduler, RunsOncePerIntervalWithoutCatchingUp) {
    MonitoringDriver::DeviceDataScheduler scheduler(50);
    EXPECT_TRUE(scheduler.shouldRunNow());  // due since program start
    EXPECT_FALSE(scheduler.shouldRunNow());
    std::this_thread::sleep_for(std::chrono::milliseconds(180));
    EXPECT_TRUE(scheduler.shouldRunNow());   // three intervals missed: one run
    EXPECT_FALSE(scheduler.shouldRunNow());  // and the next is a whole interval away
    scheduler.reset();
    EXPECT_TRUE(scheduler.shouldRunNow());
    scheduler.slide();
    EXPECT_FALSE(scheduler.shouldRunNow());
    EXPECT_GT(scheduler.nextRun(), std::chrono::steady_clock::now());
}

}  // namespace

namespace {

// The monitoring service over HTTPS with a throw-away self-signed certificate: refused while
// certificates are verified, reached once verification is switched off for the site.
TEST(MonitoringDriverTls, SelfSignedServiceIsRefusedUnlessVerificationIsOff) {
    TempDir dir;
    const std::string key = dir.file("service.key");
    const std::string pem = dir.file("service.pem");
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=korvane-test -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + pem + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl could not make a certificate";

    MonitoringSimulator::Options options;
    options.certificateFile = pem;
    options.privateKeyFile = key;
    MonitoringSimulator sim(options);
    sim.start();
    Engine::DB::SQLiteDB db(dir.file("service.db"));
    Utils::ConfigMap config;
    std::mutex dbMutex;
    const auto data = std::make_shared<Engine::Sync::DeviceDataProvider>(nullptr);
    for (const bool verify : {true, false}) {
        MonitoringDriver driver(db.GetSession(), config, dbMutex);
        driver.setTlsVerifyPeer(verify);
        sim.setDown(true);  // keeps the loop's first pass from authenticating
        driver.setMonitoringSettings("T", "https://127.0.0.1", std::to_string(sim.port()), false,
                                     false, 1000, "sim-secret", "D1", "", nullptr, nullptr, data,
                                     [] {});
        driver.stop();
        sim.setDown(false);
        EXPECT_EQ(driver.authenticate(), !verify) << "verify=" << verify;
        EXPECT_EQ(driver.check_connect(), verify ? -10002 : 0);
    }
    sim.stop();
}

}  // namespace
