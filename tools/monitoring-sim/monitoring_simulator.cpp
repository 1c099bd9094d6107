#include "monitoring_simulator.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>
#include <strings.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <optional>

#include "answer_script.h"
#include "control_routes.h"
#include "device_directory.h"
#include "device_inbox.h"
#include "exchange.h"
#include "request_journal.h"
#include "route_match.h"
#include "token_issuer.h"
#include "traffic_counter.h"

namespace korvane::MonitoringSim {
namespace {

constexpr int kMaxThreads = 48;
constexpr int kMaxQueued = 128;
constexpr int kControlThreads = 4;
constexpr std::size_t kKeptRequests = 10000;

TokenIssuer::Settings tokenSettings(const MonitoringSimulator::Options& options) {
    return {options.clientSecret, options.expiresIn, options.refreshExpiresIn};
}

std::string bearerOf(const std::string& authorization) {
    constexpr std::size_t kScheme = 7;  // "Bearer "
    if (authorization.size() <= kScheme ||
        strncasecmp(authorization.c_str(), "Bearer ", kScheme) != 0) {
        return {};
    }
    return authorization.substr(kScheme);
}

Exchange readExchange(Poco::Net::HTTPServerRequest& request) {
    Exchange exchange;
    exchange.method = request.getMethod();
    exchange.target = request.getURI();
    splitTarget(exchange.target, exchange.segments, exchange.query);
    for (const auto& [name, value] : request) exchange.headers.emplace_back(name, value);
    exchange.contentType = request.get("Content-Type", "");
    exchange.bearerToken = bearerOf(request.get("Authorization", ""));
    Poco::StreamCopier::copyToString(request.stream(), exchange.body);
    return exchange;
}

// Closes the connection at once with a reset, as a service that fell off the network would.
void dropConnection(Poco::Net::HTTPServerRequest& request) {
    auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request);
    if (!impl) return;
    Poco::Net::StreamSocket socket = impl->detachSocket();
    socket.setLinger(true, 0);
    socket.close();
}

void sendReply(Poco::Net::HTTPServerResponse& response, const Reply& reply) {
    response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
    if (!reply.contentType.empty() && !reply.body.empty()) {
        response.setContentType(reply.contentType);
    }
    for (const auto& [name, value] : reply.headers) response.set(name, value);
    response.setContentLength64(static_cast<Poco::Int64>(reply.body.size()));
    response.sendBuffer(reply.body.data(), reply.body.size());
}

}  // namespace

struct MonitoringSimulator::Impl {
    Impl(MonitoringSimulator& owner, Options opts)
        : options(std::move(opts)),
          tokens(tokenSettings(options)),
          journal(kKeptRequests),
          inbox(directory),
          control(owner),
          requireBearer(options.requireBearer),
          pool("monitoring-sim", 2, kMaxThreads),
          controlPool("monitoring-sim-control", 1, kControlThreads) {
        if (options.seedDirectory) directory.seed();
    }

    // The reply for one request, or nothing when the connection is to be dropped.
    std::optional<Reply> serve(const Exchange& exchange, const RouteMatch& match, bool tokenValid);
    std::optional<Reply> scripted(const Exchange& exchange, const RouteMatch& match,
                                  const DeviceInbox::Inspection& inspection);
    void handle(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response,
                bool controlOnly);
    // Each binds its port and starts serving; the caller holds serverMutex.
    void listen(std::uint16_t port);
    void listenForControl();
    // Resets the open service connections and closes the service port; the caller holds
    // serverMutex.
    void closeServicePort();
    bool secure() const { return !options.certificateFile.empty(); }

    const Options options;
    TokenIssuer tokens;
    AnswerScript script;
    RequestJournal journal;
    DeviceDirectory directory;
    DeviceInbox inbox;
    ControlRoutes control;
    TrafficCounter traffic;
    std::atomic<bool> requireBearer;
    Poco::ThreadPool pool;
    // Apart from the service's pool, so that a control request that closes the service port
    // never waits for a thread the service holds.
    Poco::ThreadPool controlPool;

    // Guards both servers, their sockets and the bound ports.
    mutable std::mutex serverMutex;
    Poco::Net::ServerSocket listenSocket;
    std::unique_ptr<Poco::Net::HTTPServer> server;
    std::uint16_t boundPort = 0;
    Poco::Net::ServerSocket controlSocket;
    std::unique_ptr<Poco::Net::HTTPServer> controlServer;
    std::uint16_t boundControlPort = 0;
    bool running = false;
};

namespace {

class SimRequestHandler : public Poco::Net::HTTPRequestHandler {
  public:
    SimRequestHandler(MonitoringSimulator::Impl& sim, bool controlOnly)
        : sim_(sim), controlOnly_(controlOnly) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        sim_.handle(request, response, controlOnly_);
    }

  private:
    MonitoringSimulator::Impl& sim_;
    const bool controlOnly_;
};

class SimHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    SimHandlerFactory(MonitoringSimulator::Impl& sim, bool controlOnly)
        : sim_(sim), controlOnly_(controlOnly) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new SimRequestHandler(sim_, controlOnly_);
    }

  private:
    MonitoringSimulator::Impl& sim_;
    const bool controlOnly_;
};

Poco::Net::HTTPServerParams::Ptr serverParams(int maxThreads) {
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(maxThreads);
    params->setMaxQueued(kMaxQueued);
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(5, 0));
    params->setTimeout(Poco::Timespan(30, 0));
    // A dispatcher thread that turns idle just after stop() has woken the idle ones sleeps for
    // this long before it notices; keep it short so that stopping stays quick.
    params->setThreadIdleTime(Poco::Timespan(0, 200000));
    return params;
}

}  // namespace

std::optional<Reply> MonitoringSimulator::Impl::scripted(
    const Exchange& exchange, const RouteMatch& match, const DeviceInbox::Inspection& inspection) {
    std::optional<Answer> answer = script.take(exchange.method, match.pattern);
    if (!answer) return std::nullopt;
    if (answer->delay.count() > 0) script.pause(answer->delay);
    const bool token = match.pattern == Routes::kToken;
    if (answer->drop) {
        if (token) tokens.recordScripted(exchange, 0);
        inbox.noteScripted(exchange, match, inspection, nullptr);
        return Reply{0, {}, {}};
    }
    Reply reply{answer->status, answer->body, answer->contentType, answer->headers};
    if (token) tokens.recordScripted(exchange, reply.status);
    inbox.noteScripted(exchange, match, inspection, &reply);
    return reply;
}

std::optional<Reply> MonitoringSimulator::Impl::serve(const Exchange& exchange,
                                                      const RouteMatch& match, bool tokenValid) {
    if (isGuardedPath(exchange.segments) && requireBearer && !tokenValid) {
        return errorReply(401, "UNAUTHORIZED",
                          exchange.bearerToken.empty() ? "Bearer token required"
                                                       : "Bearer token unknown or expired");
    }
    const DeviceInbox::Inspection inspection = inbox.inspect(exchange, match);
    if (inspection.refusal) return inspection.refusal;
    if (auto reply = scripted(exchange, match, inspection)) {
        if (reply->status == 0) return std::nullopt;
        return reply;
    }
    if (match.pattern.empty()) {
        return errorReply(404, "NOT_FOUND",
                          "No route for " + exchange.method + " " + exchange.target);
    }
    if (match.pattern == Routes::kToken) {
        if (exchange.method != "POST") {
            return errorReply(405, "METHOD_NOT_ALLOWED", "The token endpoint takes POST only");
        }
        return tokens.handle(exchange);
    }
    const bool deviceRoute = DeviceInbox::isDeviceRoute(match.pattern) &&
                             !(match.pattern == Routes::kAttributes && exchange.method == "GET");
    if (deviceRoute) return inbox.answer(exchange, match, inspection);
    return directory.handle(exchange, match);
}

void MonitoringSimulator::Impl::handle(Poco::Net::HTTPServerRequest& request,
                                       Poco::Net::HTTPServerResponse& response, bool controlOnly) {
    const Exchange exchange = readExchange(request);
    if (!exchange.segments.empty() && exchange.segments[0] == "sim") {
        sendReply(response, control.handle(exchange));
        return;
    }
    if (controlOnly) {
        sendReply(response, errorReply(404, "NOT_FOUND", "The control port serves /sim/ only"));
        return;
    }
    const RouteMatch match = matchRoute(exchange.segments);
    traffic.count(TrafficCounter::kindOf(exchange.method, match.pattern));
    RecordedRequest record;
    record.method = exchange.method;
    record.target = exchange.target;
    record.segments = exchange.segments;
    record.query = exchange.query;
    record.headers = exchange.headers;
    record.body = exchange.body;
    record.bearerToken = exchange.bearerToken;
    record.tokenValid = !exchange.bearerToken.empty() && tokens.isValid(exchange.bearerToken);
    record.route = match.pattern;
    record.deviceId = match.deviceId;
    record.taskId = match.taskId;
    const std::uint64_t sequence = journal.open(record);

    std::optional<Reply> reply;
    if (script.isDown()) {
        if (match.pattern == Routes::kToken) tokens.recordScripted(exchange, 0);
    } else {
        try {
            reply = serve(exchange, match, record.tokenValid);
        } catch (const std::exception& e) {
            reply = errorReply(500, "INTERNAL_ERROR", e.what());
        }
    }
    if (options.verbose) {
        std::cerr << exchange.method << ' ' << exchange.target << " -> "
                  << (reply ? std::to_string(reply->status) : std::string("dropped")) << std::endl;
    }
    if (!reply) {
        journal.close(sequence, 0, {});
        dropConnection(request);
        return;
    }
    journal.close(sequence, reply->status, reply->body);
    sendReply(response, *reply);
}

void MonitoringSimulator::Impl::listen(std::uint16_t port) {
    const Poco::Net::SocketAddress address(options.host, port);
    if (secure()) {
        Poco::Net::Context::Params params;
        params.certificateFile = options.certificateFile;
        params.privateKeyFile = options.privateKeyFile;
        params.verificationMode = Poco::Net::Context::VERIFY_NONE;
        Poco::Net::Context::Ptr context =
            new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, params);
        Poco::Net::SecureServerSocket socket(context);
        socket.bind(address, true);
        socket.listen(kMaxQueued);
        listenSocket = socket;
    } else {
        Poco::Net::ServerSocket socket;
        socket.bind(address, true);
        socket.listen(kMaxQueued);
        listenSocket = socket;
    }
    server = std::make_unique<Poco::Net::HTTPServer>(new SimHandlerFactory(*this, false), pool,
                                                     listenSocket, serverParams(kMaxThreads));
    server->start();
    boundPort = listenSocket.address().port();
}

void MonitoringSimulator::Impl::listenForControl() {
    Poco::Net::ServerSocket socket;
    socket.bind(
        Poco::Net::SocketAddress(options.host, static_cast<std::uint16_t>(options.controlPort)),
        true);
    socket.listen(kMaxQueued);
    controlSocket = socket;
    controlServer =
        std::make_unique<Poco::Net::HTTPServer>(new SimHandlerFactory(*this, true), controlPool,
                                                controlSocket, serverParams(kControlThreads));
    controlServer->start();
    boundControlPort = controlSocket.address().port();
}

void MonitoringSimulator::Impl::closeServicePort() {
    if (!server) return;
    server->stopAll(true);
    server.reset();
    listenSocket.close();
}

// ---------------------------------------------------------------------------------------------

std::string MonitoringSimulator::RecordedRequest::header(const std::string& name) const {
    return headerValue(headers, name);
}

std::string MonitoringSimulator::RecordedRequest::queryValue(const std::string& name) const {
    const std::string* value = findValue(query, name);
    return value ? *value : std::string();
}

MonitoringSimulator::MonitoringSimulator() : MonitoringSimulator(Options{}) {}

MonitoringSimulator::MonitoringSimulator(Options options)
    : impl_(std::make_unique<Impl>(*this, std::move(options))) {}

MonitoringSimulator::~MonitoringSimulator() {
    try {
        stop();
    } catch (const std::exception& e) {
        std::cerr << "monitoring-sim: stop failed: " << e.what() << std::endl;
    }
}

void MonitoringSimulator::start() {
    std::lock_guard lock(impl_->serverMutex);
    if (impl_->running) return;
    impl_->script.resume();
    impl_->listen(impl_->options.port);
    if (impl_->options.controlPort >= 0) impl_->listenForControl();
    impl_->running = true;
}

void MonitoringSimulator::stop() {
    std::lock_guard lock(impl_->serverMutex);
    if (!impl_->running) return;
    impl_->running = false;
    impl_->script.shutdown();
    // A stopped service refuses connections instead of accepting and never answering.
    impl_->closeServicePort();
    if (impl_->controlServer) impl_->controlServer->stopAll(true);
    impl_->controlServer.reset();
    impl_->controlSocket.close();
    impl_->pool.joinAll();
    impl_->controlPool.joinAll();
}

std::uint16_t MonitoringSimulator::port() const {
    std::lock_guard lock(impl_->serverMutex);
    return impl_->boundPort;
}

std::uint16_t MonitoringSimulator::controlPort() const {
    std::lock_guard lock(impl_->serverMutex);
    return impl_->boundControlPort;
}

const std::string& MonitoringSimulator::host() const {
    return impl_->options.host;
}

std::string MonitoringSimulator::baseUrl() const {
    return std::string(impl_->secure() ? "https://" : "http://") + host() + ":" +
           std::to_string(port());
}

void MonitoringSimulator::reset() {
    impl_->tokens.reset(tokenSettings(impl_->options));
    impl_->requireBearer = impl_->options.requireBearer;
    impl_->script.clearAll();
    impl_->inbox.reset();
    impl_->directory.clear();
    if (impl_->options.seedDirectory) impl_->directory.seed();
    impl_->journal.clear();
    impl_->traffic.clear();
    setRefusing(false);
}

void MonitoringSimulator::setClientSecret(const std::string& secret) {
    impl_->tokens.setClientSecret(secret);
}
void MonitoringSimulator::setExpiresIn(int seconds) {
    impl_->tokens.setExpiresIn(seconds);
}
void MonitoringSimulator::setRefreshExpiresIn(int seconds) {
    impl_->tokens.setRefreshExpiresIn(seconds);
}
void MonitoringSimulator::refuseNextTokens(int count, int status) {
    impl_->tokens.refuseNext(count, status);
}
void MonitoringSimulator::omitFromNextToken(const std::string& member) {
    impl_->tokens.omitFromNext(member);
}
void MonitoringSimulator::emptyNextToken() {
    impl_->tokens.emptyNext();
}
void MonitoringSimulator::advanceClock(std::chrono::seconds offset) {
    impl_->tokens.advanceClock(offset);
}
void MonitoringSimulator::expireTokens(bool refreshToo) {
    impl_->tokens.expire(refreshToo);
}
bool MonitoringSimulator::isTokenValid(const std::string& accessToken) const {
    return impl_->tokens.isValid(accessToken);
}
std::vector<MonitoringSimulator::TokenRequest> MonitoringSimulator::tokenRequests() const {
    return impl_->tokens.requests();
}
void MonitoringSimulator::setRequireBearer(bool require) {
    impl_->requireBearer = require;
}

void MonitoringSimulator::script(const std::string& method, const std::string& route,
                                 Answer answer) {
    impl_->script.append(method, route, std::move(answer));
}
void MonitoringSimulator::script(const std::string& method, const std::string& route,
                                 std::vector<Answer> answers) {
    for (auto& answer : answers) impl_->script.append(method, route, std::move(answer));
}
void MonitoringSimulator::setSticky(const std::string& method, const std::string& route,
                                    Answer answer) {
    impl_->script.setSticky(method, route, std::move(answer));
}
void MonitoringSimulator::clearScript(const std::string& method, const std::string& route) {
    impl_->script.clear(method, route);
}
void MonitoringSimulator::clearScripts() {
    impl_->script.clearAll();
}
void MonitoringSimulator::setDown(bool down) {
    impl_->script.setDown(down);
}
void MonitoringSimulator::setRefusing(bool refusing) {
    std::lock_guard lock(impl_->serverMutex);
    if (!impl_->running) return;
    if (refusing) {
        impl_->closeServicePort();
    } else if (!impl_->server) {
        impl_->listen(impl_->boundPort);
    }
}

std::string MonitoringSimulator::queueTask(Task task) {
    return impl_->inbox.queueTask(std::move(task));
}
std::size_t MonitoringSimulator::pendingTasks() const {
    return impl_->inbox.pendingTasks();
}
void MonitoringSimulator::setStateAnswer(const std::string& jsonText) {
    impl_->inbox.setStateAnswer(jsonText);
}

std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::attributes() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Attributes);
}
std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::telemetry() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Telemetry);
}
std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::alarms() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Alarm);
}
std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::recognitions() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Recognition);
}
std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::alerts() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Alert);
}
std::vector<MonitoringSimulator::DeviceMessage> MonitoringSimulator::autodistributions() const {
    return impl_->inbox.messages(DeviceInbox::Channel::Autodistribution);
}
std::vector<MonitoringSimulator::TaskAnswer> MonitoringSimulator::taskAnswers() const {
    return impl_->inbox.taskAnswers();
}

std::string MonitoringSimulator::addStore(Store store) {
    return impl_->directory.addStore(std::move(store));
}
std::string MonitoringSimulator::addDevice(Device device) {
    return impl_->directory.addDevice(std::move(device));
}
std::string MonitoringSimulator::addDeviceModel(const std::string& name) {
    return impl_->directory.addModel(name);
}
std::vector<MonitoringSimulator::Device> MonitoringSimulator::devices() const {
    return impl_->directory.devices();
}
void MonitoringSimulator::clearDirectory() {
    impl_->directory.clear();
}

std::vector<MonitoringSimulator::RecordedRequest> MonitoringSimulator::requests() const {
    return impl_->journal.all();
}
std::vector<MonitoringSimulator::RecordedRequest> MonitoringSimulator::requests(
    const std::string& method, const std::string& route) const {
    return impl_->journal.matching(method, route);
}
std::size_t MonitoringSimulator::requestCount(const std::string& method,
                                              const std::string& route) const {
    return impl_->journal.count(method, route);
}
bool MonitoringSimulator::waitForRequests(const std::string& method, const std::string& route,
                                          std::size_t count,
                                          std::chrono::milliseconds timeout) const {
    return impl_->journal.waitForAnswered(method, route, count, timeout);
}
const std::array<const char*, MonitoringSimulator::kTrafficKinds>&
MonitoringSimulator::trafficKindNames() {
    static const std::array<const char*, kTrafficKinds> names = {
        "token",      "recognition", "telemetry", "task", "state",
        "attributes", "alarm",       "alert",     "other"};
    return names;
}
std::vector<MonitoringSimulator::TrafficSecond> MonitoringSimulator::traffic(
    std::int64_t sinceUnixSecond) const {
    return impl_->traffic.since(sinceUnixSecond);
}
void MonitoringSimulator::clearRecords() {
    impl_->journal.clear();
    impl_->tokens.clearRecords();
    impl_->inbox.clearRecords();
}

}  // namespace korvane::MonitoringSim
