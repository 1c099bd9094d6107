#include "monitoring_driver.h"

#include <Poco/Exception.h>
#include <Poco/String.h>

#include <boost/json.hpp>
#include <stdexcept>

#include "agent_metrics.h"
#include "device_data_provider.h"
#include "logger.h"
#include "monitoring_answers.h"
#include "monitoring_configuration.h"
#include "network_route.h"
#include "state.h"
#include "task_handler_provider.h"

namespace korvane::Engine::Sync {

namespace {

const std::string kTokenPath = "/auth/realms/Korvane/protocol/openid-connect/token";
constexpr int kTokenMarginSeconds = 60;
constexpr int kRequestTimeoutSeconds = 6;
constexpr int kNoMonitoringConnection = -10002;
constexpr long long kCheckActualIntervalMs = 900000;
constexpr long long kPingIntervalMs = 240000;

// The client every MonitoringDriver starts with, until its settings arrive.
const std::string kPlaceholderAddress = "192";
constexpr int kPlaceholderPort = 8080;

}  // namespace

MonitoringDriver::MonitoringDriver(Poco::Data::Session& session, Utils::ConfigMap& config,
                                   std::mutex& dbMutex)
    : client_(std::make_shared<REST::RestClient>(kPlaceholderAddress, kPlaceholderPort)),
      session_(session),
      config_(config),
      dbMutex_(dbMutex) {
    initTaskHandlers();
}

MonitoringDriver::~MonitoringDriver() {
    stop();
    // The task handlers must not reach a driver that is gone.
    if (const auto tasks = taskHandlerProvider()) tasks->setMonitoringInstance(nullptr);
}

void MonitoringDriver::setTlsVerifyPeer(bool verify) {
    std::lock_guard lock(clientMutex_);
    tlsVerifyPeer_ = verify;
}

void MonitoringDriver::setMonitoringSettings(
    const std::string& serviceType, const std::string& serviceAddress,
    const std::string& servicePort, const bool& gettingTasks, const bool& imageSendingEnabled,
    const long long& requestFrequency, const std::string& clientSecret, const std::string& deviceId,
    const std::string& dataFolderPath, std::shared_ptr<S3ClientProvider> s3,
    std::shared_ptr<TaskHandlerProvider> tasks, std::shared_ptr<DeviceDataProvider> data,
    std::function<void()> reinit) {
    // Lock order: lifecycle, then loop. Two settings changes never interleave.
    std::lock_guard lifecycle(lifecycleMutex_);
    stopLoop();
    std::lock_guard loopLock(loopMutex_);
    {
        std::lock_guard lock(settingsMutex_);
        settings_ = MonitoringSettings{
            serviceType,      serviceAddress, servicePort, gettingTasks,  imageSendingEnabled,
            requestFrequency, clientSecret,   deviceId,    dataFolderPath};
    }
    {
        std::lock_guard lock(providersMutex_);
        s3_ = s3;
        tasks_ = tasks;
        deviceData_ = data;
    }
    if (tasks) tasks->setMonitoringInstance(this);
    {
        std::lock_guard lock(callbackMutex_);
        reinit_ = std::move(reinit);
    }
    if (serviceAddress.empty()) {
        // Monitoring switched off: no client can be built on an empty address.
        startLoop();
        return;
    }
    auto client = buildClient(serviceAddress, servicePort);
    {
        std::lock_guard lock(clientMutex_);
        client_ = std::move(client);
    }
    Log()->info("Monitoring client uses address {} and port {};", serviceAddress, servicePort);
    schedulerTusk_.setInterval(requestFrequency);
    schedulerTusk_.reset();
    schedulerCheckActual_.setInterval(kCheckActualIntervalMs);
    schedulerCheckActual_.reset();
    schedulerPing_.setInterval(kPingIntervalMs);
    schedulerPing_.reset();
    State::getInstance().need_check_actual(true);
    startLoop();
}

std::shared_ptr<REST::RestClient> MonitoringDriver::buildClient(const std::string& address,
                                                                const std::string& port) {
    REST::TlsSettings tls;
    {
        std::lock_guard lock(clientMutex_);
        tls.verifyPeer = tlsVerifyPeer_;
    }
    NetworkSettings network;
    {
        std::lock_guard lock(dbMutex_);
        network = readNetworkSettings(config_);
    }
    tls.caLocation = readableCaFile(network.caFile);
    auto client = std::make_shared<REST::RestClient>(
        address, readPortNumber(port, "monitoring_service_port"), tls);
    client->useStoreNetwork("monitoring service", network);
    client->setTimeout(kRequestTimeoutSeconds);
    client->setExchangeObserver([this](const std::string& path, const REST::RawResponse* answer) {
        onServiceExchange(path, answer);
    });
    std::lock_guard lock(tokenMutex_);
    if (!token_.accessToken.empty()) client->setAuthToken(token_.accessToken);
    return client;
}

MonitoringSettings MonitoringDriver::getMonitoringSettings() const {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

TokenSettings MonitoringDriver::getTokenSettings() const {
    std::lock_guard lock(tokenMutex_);
    return token_;
}

std::shared_ptr<REST::RestClient> MonitoringDriver::client() const {
    std::lock_guard lock(clientMutex_);
    return client_;
}

REST::RawResponse MonitoringDriver::requestToken(bool withRefreshToken) {
    boost::json::object form;
    form["grant_type"] = "client_credentials";
    form["client_id"] = "device";
    form["client_secret"] = getMonitoringSettings().clientSecret;
    if (withRefreshToken) form["refresh_token"] = getTokenSettings().refreshToken;
    return countedExchange(Utils::Metrics::agentMetrics().tokenRequests,
                           withRefreshToken ? "refresh_token" : "client_credentials",
                           [&] { return client()->PostForm(kTokenPath, form); });
}

REST::RawResponse MonitoringDriver::countedExchange(
    Utils::Metrics::Family<Utils::Metrics::Counter>& family, std::string_view label,
    const std::function<REST::RawResponse()>& exchange) {
    try {
        REST::RawResponse response = exchange();
        family.at({label, response.status == 200 ? Utils::Metrics::kOk : Utils::Metrics::kRefused})
            .add();
        return response;
    } catch (...) {
        family.at({label, Utils::Metrics::kUnreachable}).add();
        throw;
    }
}

void MonitoringDriver::storeTokenAnswer(const std::string& body) {
    // Parsed whole before anything is stored: a rejected answer leaves the old token intact.
    TokenSettings token = parseTokenAnswer(body);
    Log()->info("Access token received and have size: {}", token.accessToken.size());
    const auto wallNow = std::chrono::system_clock::now();
    const auto expiry = std::chrono::steady_clock::now() +
                        (renewalTime(wallNow, token.expiresIn, kTokenMarginSeconds) - wallNow);
    std::lock_guard lock(tokenMutex_);
    token_ = std::move(token);
    tokenExpiry_ = expiry;
    client()->setAuthToken(token_.accessToken);
}

bool MonitoringDriver::authenticate() {
    try {
        const REST::RawResponse response = requestToken(false);
        if (response.status == 200) {
            if (response.body.empty()) {
                Log()->error("Empty response from auth server");
                return false;
            }
            storeTokenAnswer(response.body);
            return true;
        }
        if (auto tail = failureLog_.admit("auth status " + std::to_string(response.status))) {
            Log()->warn("Auth error, http response code: {}, reason: {}{}", response.status,
                        response.reason, *tail);
        }
        throw std::runtime_error("Authentication failed: " + response.reason);
    } catch (const std::exception& e) {
        std::lock_guard lock(callbackMutex_);
        if (auto tail = failureLog_.admit(std::string("auth ") + e.what())) {
            if (dynamic_cast<const REST::ServiceUnreachable*>(&e) != nullptr) {
                Log()->error("Failed to auth: {}{};", e.what(), *tail);
            } else {
                Log()->info("Failed to auth: {}, try again on the next loop...{}", e.what(), *tail);
            }
        }
        if (errorCallback_) errorCallback_(std::string("Auth error: ") + e.what());
        return false;
    }
}

bool MonitoringDriver::refreshTokenIfNeeded() {
    bool renewable = false;
    {
        std::lock_guard lock(tokenMutex_);
        const bool haveToken = !token_.accessToken.empty();
        if (haveToken && std::chrono::steady_clock::now() < tokenExpiry_) return true;
        // Without an access token but with a refresh token (the service refused the access
        // token) the refresh token is tried first, as when the access token expires.
        renewable = haveToken || !token_.refreshToken.empty();
    }
    // authenticate() takes the token mutex itself, so it runs with the mutex released.
    if (!renewable) return authenticate();
    const REST::RawResponse response = requestToken(true);
    if (response.status == 200) {
        storeTokenAnswer(response.body);
        return true;
    }
    Log()->warn(
        "refresh token fails with http code: {}, reason: {}, try to authenticate() again...",
        response.status, response.reason);
    return authenticate();
}

void MonitoringDriver::onServiceExchange(const std::string& path, const REST::RawResponse* answer) {
    if (answer == nullptr) {
        backoff_.unreachable();
        return;
    }
    std::string retryAfter;
    for (const auto& [name, value] : answer->headers) {
        if (Poco::icompare(name, "Retry-After") == 0) retryAfter = value;
    }
    backoff_.answered(answer->status, retryAfter);
    if (answer->status == 401 && path != kTokenPath) dropAccessToken();
}

void MonitoringDriver::dropAccessToken() {
    std::lock_guard lock(tokenMutex_);
    if (token_.accessToken.empty()) return;
    Log()->warn("The monitoring service refused the access token; it is renewed at once;");
    token_.accessToken.clear();
    tokenExpiry_ = {};
    client()->clearAuthToken();
}

std::chrono::seconds MonitoringDriver::backoffCap() {
    std::lock_guard lock(dbMutex_);
    return readBackoffCap(config_);
}

std::chrono::system_clock::time_point MonitoringDriver::calculateTokenExpiry(
    const int& marginSeconds) const {
    std::lock_guard lock(tokenMutex_);
    return renewalTime(std::chrono::system_clock::now(), token_.expiresIn, marginSeconds);
}

std::chrono::system_clock::time_point MonitoringDriver::tokenExpiry() const {
    std::lock_guard lock(tokenMutex_);
    if (tokenExpiry_ == std::chrono::steady_clock::time_point{}) return {};
    return std::chrono::system_clock::now() +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(
               tokenExpiry_ - std::chrono::steady_clock::now());
}

int MonitoringDriver::check_connect() const {
    std::lock_guard lock(tokenMutex_);
    return token_.accessToken.empty() ? kNoMonitoringConnection : 0;
}

void MonitoringDriver::start() {
    std::lock_guard lock(lifecycleMutex_);
    startLoop();
}

void MonitoringDriver::stop() {
    std::lock_guard lock(lifecycleMutex_);
    stopLoop();
}

void MonitoringDriver::startLoop() {
    if (running_) return;
    if (getMonitoringSettings().serviceAddress.empty()) {
        Log()->warn("Can't start monitoring event loop, necessary settings not valid;");
        return;
    }
    if (worker_.joinable()) worker_.join();  // a loop that ended on its own
    backoff_.setCap(backoffCap());
    markPassEnded();  // the first pass is due now
    running_ = true;
    worker_ = std::thread([this] { loop(); });
}

void MonitoringDriver::markPassEnded() {
    lastPassEnded_.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::optional<std::chrono::steady_clock::duration> MonitoringDriver::sinceLastPass() const {
    if (!running_) return std::nullopt;
    const std::chrono::steady_clock::time_point ended(
        std::chrono::steady_clock::duration(lastPassEnded_.load()));
    return std::chrono::steady_clock::now() - ended;
}

void MonitoringDriver::stopLoop() {
    running_ = false;
    // A task waiting for a camera job (minutes at worst) gives up, so the loop ends promptly.
    const auto tasks = taskHandlerProvider();
    if (tasks) tasks->cancelWaits();
    Log()->info("Waiting  for the end of the current loop()...;");
    {
        // Taken once so that a loop between its flag check and its wait cannot miss the
        // notification below.
        std::lock_guard loopLock(loopMutex_);
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
        Log()->info("worker_ with loop() destroyed success;");
    } else {
        Log()->warn("loop() can't be joinable, some operations in loop can't be interrupted");
    }
    if (tasks) tasks->resumeWaits();
}

void MonitoringDriver::onTaskReceived(std::function<void(Utils::Models::Task&)> callback) {
    std::lock_guard lock(callbackMutex_);
    std::swap(taskReceived_, callback);
    callback = nullptr;  // the old one goes while the mutex is held
}

void MonitoringDriver::onError(std::function<void(const std::string&)> callback) {
    std::lock_guard lock(callbackMutex_);
    std::swap(errorCallback_, callback);
    callback = nullptr;
}

void MonitoringDriver::notifyError(const std::string& message) {
    std::lock_guard lock(callbackMutex_);
    if (errorCallback_) errorCallback_(message);
}

std::string MonitoringDriver::devicePathPrefix() const {
    return "/api/v1/devices/" + REST::encodePathSegment(getMonitoringSettings().deviceId);
}

void MonitoringDriver::appendPathPart(std::string& path, std::string part) {
    if (!part.empty() && part.front() == '/') part.erase(0, 1);
    if (!part.empty() && part.back() == '/') part.pop_back();
    if (!part.empty()) path.append("/").append(part);
}

REST::RawResponse MonitoringDriver::generate_bad_answer(const char* message) {
    REST::RawResponse answer;
    answer.status = 502;
    answer.reason = "Bad Gateway";
    answer.body =
        boost::json::serialize(boost::json::object{{"error", message == nullptr ? "" : message}});
    return answer;
}

void MonitoringDriver::reset_ping() {
    schedulerPing_.slide();
}

void MonitoringDriver::attributes_update() {
    const auto data = deviceDataProvider();
    if (!data) {
        Log()->error("device_data_provider_ expired, can't exec attributes_update();");
        return;
    }
    data->attributes_update();
}

void MonitoringDriver::telemetries_update() {
    const auto data = deviceDataProvider();
    if (!data) {
        Log()->error("device_data_provider_ expired, can't exec telemetries_update();");
        return;
    }
    data->telemetries_update();
}

}  // namespace korvane::Engine::Sync
