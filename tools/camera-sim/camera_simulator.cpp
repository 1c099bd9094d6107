#include "camera_simulator.h"

#include <Poco/File.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Path.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>

#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "camera_state.h"
#include "command_table.h"
#include "control_api.h"
#include "device_commands.h"
#include "fault_plan.h"
#include "recognition_commands.h"
#include "request_log.h"
#include "sync_commands.h"
#include "template_commands.h"
#include "transfer_jobs.h"

namespace korvane::CameraSim {
namespace {

constexpr int kMaxThreads = 96;  // benchmarks open up to 32 connections; faults may hold some
constexpr int kMaxQueued = 256;
constexpr std::size_t kLoggedRequests = 1000;
constexpr const char* kStateFile = "camera-state.json";

std::string commandOf(const std::string& path) {
    std::vector<std::string> segments;
    std::istringstream in(path);
    std::string segment;
    while (std::getline(in, segment, '/')) {
        if (!segment.empty()) segments.push_back(segment);
    }
    if (segments.empty()) return {};
    if (segments[0] == "api") return segments.size() > 1 ? segments[1] : std::string();
    return segments[0];
}

SimReply statusReply(int status, const std::string& message) {
    Poco::JSON::Object::Ptr object = newObject();
    object->set("code", status);
    object->set("msg", message);
    return jsonReply(status, object);
}

unsigned pickSeed(unsigned seed) {
    return seed != 0 ? seed : std::random_device{}();
}

}  // namespace

struct CameraSimulator::Impl {
    explicit Impl(Options opts)
        : options(std::move(opts)),
          state(options.jobStepMs, pickSeed(options.seed)),
          log(kLoggedRequests),
          device(state, faults),
          templates(state),
          sync(state),
          recognition(state),
          transfer(state, options.stateDir.empty()
                              ? std::string()
                              : Poco::Path(options.stateDir, "exports").toString()),
          control(state, faults, log,
                  [this](std::chrono::milliseconds length) { requestRefusal(length); }),
          pool("camera-sim", 4, kMaxThreads) {
        device.registerInto(commands);
        templates.registerInto(commands);
        sync.registerInto(commands);
        recognition.registerInto(commands);
        transfer.registerInto(commands);
    }

    SimReply dispatch(const SimRequest& request);
    std::optional<SimReply> serve(Poco::Net::HTTPServerRequest& httpRequest,
                                  const SimRequest& request);
    void listen(std::uint16_t port);
    void requestRefusal(std::chrono::milliseconds length);
    void reviveLoop();
    void loadState();
    void saveState();

    const Options options;
    CameraState state;
    FaultPlan faults;
    RequestLog log;
    CommandTable commands;  // filled in the constructor, read-only afterwards
    DeviceCommands device;
    TemplateCommands templates;
    SyncCommands sync;
    RecognitionCommands recognition;
    TransferJobs transfer;
    ControlApi control;
    Poco::ThreadPool pool;

    // Guards the servers, the listening socket and the bound port; a refuse-mode outage retires
    // the server and the reviver starts a new one on the same port.
    mutable std::mutex serverMutex;
    Poco::Net::ServerSocket listenSocket;
    std::unique_ptr<Poco::Net::HTTPServer> server;
    std::unique_ptr<Poco::Net::HTTPServer> retired;
    std::uint16_t boundPort = 0;
    bool running = false;

    // Guards the reviver's orders.
    std::mutex reviverMutex;
    std::condition_variable reviverWake;
    std::optional<std::chrono::milliseconds> refusal;
    bool stopping = false;
    std::thread reviver;
};

namespace {

// Closes the connection at once with a reset, as a camera that fell off the network would.
void dropConnection(Poco::Net::HTTPServerRequest& request) {
    auto* impl = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request);
    if (!impl) return;
    Poco::Net::StreamSocket socket = impl->detachSocket();
    socket.setLinger(true, 0);
    socket.close();
}

void sendReply(Poco::Net::HTTPServerResponse& response, const SimReply& reply) {
    const std::string body = serializeReply(reply);
    response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
    if (!reply.contentType.empty()) response.setContentType(reply.contentType);
    for (const auto& [name, value] : reply.headers) response.set(name, value);
    response.setContentLength64(static_cast<Poco::Int64>(body.size()));
    response.sendBuffer(body.data(), body.size());
}

// Bodies up to kKeptEnds * 2 are kept whole. Of a larger one (a firmware image in a memory test)
// the first and last kKeptEnds bytes are kept, enough for the multipart headers, the text
// fields and the closing delimiter, and the middle is only counted.
constexpr std::size_t kKeptEnds = 4 << 20;

void readBody(std::istream& in, SimRequest& request) {
    std::string block(64 * 1024, '\0');
    std::string tail;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (request.body.size() < kKeptEnds) {
            request.body.append(block.data(), got);
            continue;
        }
        tail.append(block.data(), got);
        if (tail.size() > 2 * kKeptEnds) {
            const std::size_t drop = tail.size() - kKeptEnds;
            request.droppedBytes += drop;
            tail.erase(0, drop);
        }
    }
    request.body += tail;
}

SimRequest readRequest(Poco::Net::HTTPServerRequest& httpRequest) {
    SimRequest request;
    const Poco::URI uri(httpRequest.getURI());
    request.method = httpRequest.getMethod();
    request.path = uri.getPath();
    request.query = uri.getRawQuery();
    request.command = commandOf(request.path);
    request.contentType = httpRequest.get("Content-Type", "");
    request.userAgent = httpRequest.get("User-Agent", "");
    readBody(httpRequest.stream(), request);
    return request;
}

class SimRequestHandler : public Poco::Net::HTTPRequestHandler {
  public:
    explicit SimRequestHandler(CameraSimulator::Impl& sim) : sim_(sim) {}

    void handleRequest(Poco::Net::HTTPServerRequest& httpRequest,
                       Poco::Net::HTTPServerResponse& response) override {
        const SimRequest request = readRequest(httpRequest);
        std::optional<SimReply> reply = sim_.serve(httpRequest, request);
        if (sim_.options.verbose) {
            std::cerr << request.method << ' ' << request.path << " -> "
                      << (reply ? std::to_string(reply->status) : std::string("dropped"))
                      << std::endl;
        }
        if (reply) sendReply(response, *reply);
    }

  private:
    CameraSimulator::Impl& sim_;
};

class SimHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    explicit SimHandlerFactory(CameraSimulator::Impl& sim) : sim_(sim) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new SimRequestHandler(sim_);
    }

  private:
    CameraSimulator::Impl& sim_;
};

}  // namespace

SimReply CameraSimulator::Impl::dispatch(const SimRequest& request) {
    // HEAD is answered as GET (the server leaves the body out), so reachability probes succeed.
    const bool post = request.method == "POST";
    if (!post && request.method != "GET" && request.method != "HEAD") {
        return statusReply(405, "Method Not Allowed");
    }
    if (request.path.rfind("/download/", 0) == 0) {
        if (post) return statusReply(405, "Method Not Allowed");
        return transfer.download(request.path.substr(10));
    }
    if (request.path.rfind("/api/", 0) != 0 || request.command.empty()) {
        return statusReply(404, "Not Found");
    }
    const auto found = commands.find(request.command);
    if (found == commands.end()) {
        return errorReply(kUnknownCommand, "Device communication unknown command");
    }
    if (found->second.verb == Verb::Post && !post) {
        return statusReply(405, "Method Not Allowed");
    }
    try {
        return found->second.handler(request);
    } catch (const CommandError& e) {
        return errorReply(e.code(), e.what());
    } catch (const std::exception& e) {
        return errorReply(kUnknownMistake, std::string("Unknown mistake: ") + e.what());
    }
}

// The reply for one request, or nothing when the connection was dropped.
std::optional<SimReply> CameraSimulator::Impl::serve(Poco::Net::HTTPServerRequest& httpRequest,
                                                     const SimRequest& request) {
    if (request.path.rfind("/sim/", 0) == 0) return control.handle(request);
    if (faults.isDown()) {
        log.record(request, "down");
        dropConnection(httpRequest);
        return std::nullopt;
    }
    const std::optional<FaultRule> fault = faults.take(request.command);
    log.record(request, fault ? FaultPlan::describe(*fault) : std::string());
    if (!fault) return dispatch(request);

    if (fault->delayMs > 0) faults.pause(fault->delayMs);
    if (fault->drop) {
        dropConnection(httpRequest);
        return std::nullopt;
    }
    SimReply reply;
    if (fault->httpStatus) {
        reply = statusReply(*fault->httpStatus, "simulated HTTP failure");
    } else if (fault->errorCode) {
        reply = errorReply(*fault->errorCode, "simulated camera error");
    } else {
        reply = dispatch(request);
    }
    FaultPlan::distort(*fault, reply);
    return reply;
}

void CameraSimulator::Impl::listen(std::uint16_t port) {
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress(options.host, port), true);
    socket.listen(kMaxQueued);
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(kMaxThreads);
    params->setMaxQueued(kMaxQueued);
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(5, 0));
    params->setTimeout(Poco::Timespan(30, 0));
    // A dispatcher thread that turns idle just after stop() has woken the idle ones sleeps for
    // this long before it notices; keep it short so that stopping stays quick.
    params->setThreadIdleTime(Poco::Timespan(0, 200000));
    server =
        std::make_unique<Poco::Net::HTTPServer>(new SimHandlerFactory(*this), pool, socket, params);
    server->start();
    boundPort = socket.address().port();
    listenSocket = socket;
}

// Stops accepting at once (the answer to the ordering request still goes out on its open
// connection) and leaves the reopening to the reviver.
void CameraSimulator::Impl::requestRefusal(std::chrono::milliseconds length) {
    {
        std::lock_guard serverLock(serverMutex);
        if (!server) return;
        server->stop();
        listenSocket.close();
        retired = std::move(server);
    }
    {
        std::lock_guard lock(reviverMutex);
        refusal = length;
    }
    reviverWake.notify_all();
}

// Ends refuse-mode outages: waits out the outage and binds the same port again.
void CameraSimulator::Impl::reviveLoop() {
    std::unique_lock lock(reviverMutex);
    while (true) {
        reviverWake.wait(lock, [this] { return stopping || refusal.has_value(); });
        if (stopping) return;
        const auto length = *refusal;
        refusal.reset();
        if (reviverWake.wait_for(lock, length, [this] { return stopping; })) return;
        for (int attempt = 0;; ++attempt) {
            try {
                std::lock_guard serverLock(serverMutex);
                retired.reset();
                listen(boundPort);
                break;
            } catch (const Poco::Exception& e) {
                if (attempt == 50) {
                    std::cerr << "camera-sim: cannot listen again on port " << boundPort << ": "
                              << e.displayText() << std::endl;
                    return;
                }
            }
            if (reviverWake.wait_for(lock, std::chrono::milliseconds(100),
                                     [this] { return stopping; })) {
                return;
            }
        }
    }
}

void CameraSimulator::Impl::loadState() {
    if (options.stateDir.empty()) return;
    const Poco::Path file(options.stateDir, kStateFile);
    if (!Poco::File(file).exists()) return;
    std::ifstream in(file.toString(), std::ios::binary);
    Poco::JSON::Parser parser;
    const auto saved = parser.parse(in).extract<Poco::JSON::Object::Ptr>();
    state.restore(saved);
}

void CameraSimulator::Impl::saveState() {
    if (options.stateDir.empty()) return;
    Poco::File(options.stateDir).createDirectories();
    const Poco::Path file(options.stateDir, kStateFile);
    const std::string temporary = file.toString() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << toJsonText(state.snapshot());
        if (!out) throw std::runtime_error("camera-sim: cannot write " + temporary);
    }
    Poco::File(temporary).renameTo(file.toString());
}

CameraSimulator::CameraSimulator(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

CameraSimulator::~CameraSimulator() {
    try {
        stop();
    } catch (const std::exception& e) {
        std::cerr << "camera-sim: stop failed: " << e.what() << std::endl;
    }
}

void CameraSimulator::start() {
    impl_->loadState();
    {
        std::lock_guard lock(impl_->serverMutex);
        if (impl_->running) return;
        impl_->listen(impl_->options.port);
        impl_->running = true;
    }
    impl_->reviver = std::thread([this] { impl_->reviveLoop(); });
}

std::uint16_t CameraSimulator::port() const {
    std::lock_guard lock(impl_->serverMutex);
    return impl_->boundPort;
}

const std::string& CameraSimulator::host() const {
    return impl_->options.host;
}

void CameraSimulator::stop() {
    {
        std::lock_guard lock(impl_->serverMutex);
        if (!impl_->running) return;
        impl_->running = false;
    }
    {
        std::lock_guard lock(impl_->reviverMutex);
        impl_->stopping = true;
    }
    impl_->reviverWake.notify_all();
    if (impl_->reviver.joinable()) impl_->reviver.join();
    impl_->faults.shutdown();
    {
        std::lock_guard lock(impl_->serverMutex);
        if (impl_->server) impl_->server->stopAll(true);
        if (impl_->retired) impl_->retired->stopAll(true);
        impl_->server.reset();
        impl_->retired.reset();
        // A stopped camera refuses connections instead of accepting and never answering.
        impl_->listenSocket.close();
    }
    impl_->pool.joinAll();
    impl_->saveState();
}

}  // namespace korvane::CameraSim
