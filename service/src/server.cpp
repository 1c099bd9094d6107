#include "server.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "build_constants.h"
#include "client_share.h"
#include "config_conversion.h"
#include "config_queries.h"
#include "connection_watchdog.h"
#include "device_data_provider.h"
#include "filesystem.h"
#include "local_api_connections.h"
#include "logger.h"
#include "migrator.h"
#include "monitoring_configuration.h"
#include "monitoring_driver.h"
#include "pellix_driver.h"
#include "responses.h"
#include "s3_client_provider.h"
#include "schema_migrations.h"
#include "state.h"
#include "task_handler_provider.h"

namespace korvane::Engine::Test {

namespace {

// A connection holds its worker thread from accept to close, also while its client is slow to
// send its request; enough workers that a crowd of such clients leaves threads for the point
// of sale. The watchdog bounds how long each one can hold on, the client share how many one
// address can hold.
constexpr int kMaxThreads = 256;
// Workers no outside client can take: the self-check's, so that a crowd of clients cannot get
// a working Agent restarted by its service manager.
constexpr int kSelfCheckReserve = 4;
// Every admitted connection fits in the queue, so none is dropped uncounted while the
// acceptor starts its thread.
constexpr int kMaxQueued = kMaxThreads;
constexpr std::int64_t kDefaultConnectionsPerClient = 32;
// Room for a crowd of connections arriving at once while the acceptor starts their threads;
// beyond it the kernel drops connection attempts and clients retry only after a second.
constexpr int kBacklog = 256;
constexpr std::chrono::seconds kStepLimit{10};
constexpr std::chrono::seconds kIdleLimit{15};
constexpr const char* kAllInterfaces = "0.0.0.0";
constexpr const char* kLoopback = "127.0.0.1";

class Handler : public Poco::Net::HTTPRequestHandler {
  public:
    explicit Handler(Server& server) : server_(server) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        Log()->info("Incoming {} request to {};", request.getMethod(), request.getURI());
        server_.HandleSession(request, response);
        LocalApi::ConnectionWatchdog::answered();
    }

  private:
    Server& server_;
};

class LocalFactory : public LocalApi::StoppableHandlerFactory {
  public:
    explicit LocalFactory(Server& server) : server_(server) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new Handler(server_);
    }

  private:
    Server& server_;
};

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The stored local_api_address: all interfaces when it is unset, and loopback alone when it is
// not an IPv4 address (an address meant to narrow who can reach the API must never widen it).
std::string listeningAddressOf(const Utils::ConfigMap& config, std::string& problem) {
    const auto it = config.find("local_api_address");
    if (it == config.end() || it->second.isEmpty()) return kAllInterfaces;
    const std::string text = it->second.toString();
    if (text.empty()) return kAllInterfaces;
    if (!isDottedQuad(text)) {
        problem = "local_api_address " + text + " is not an IPv4 address; listening on " +
                  kLoopback + " only";
        Log()->error("{};", problem);
        return kLoopback;
    }
    return text;
}

std::size_t connectionsPerClientOf(const Utils::ConfigMap& config) {
    const std::string key = "local_api_max_connections_per_client";
    if (!config.contains(key)) return kDefaultConnectionsPerClient;
    try {
        const std::int64_t value = readConfigInt64(config, key);
        if (value > 0) return static_cast<std::size_t>(value);
    } catch (const std::exception& e) {
        Log()->error("{};", e.what());
    }
    Log()->error("{} must be a positive integer; {} used;", key, kDefaultConnectionsPerClient);
    return kDefaultConnectionsPerClient;
}

}  // namespace

Server::Server(std::uint16_t port, const std::string& dbPath)
    : database_(dbPath), listeningPort_(port) {
    if (port <= 1023) {
        Log()->warn("server port 1024<, server might fail by non-root launch, current port: {};",
                    port);
    }
    migrateDatabase();
    // The configuration file may name the listening address, so it is applied before binding.
    importPendingConfigFile();
    loadStoredState();

    const Utils::ConfigMap config = configSnapshot();
    listen(listeningAddressOf(config, listeningProblem_), port);

    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(kMaxThreads);
    params->setMaxQueued(kMaxQueued);
    // Per send and receive: a silent client gives its thread back after this long.
    params->setTimeout(Poco::Timespan(std::chrono::seconds(kStepLimit).count(), 0));
    params->setKeepAliveTimeout(Poco::Timespan(std::chrono::seconds(kIdleLimit).count(), 0));
    threadPool_ = std::make_unique<Poco::ThreadPool>(2, kMaxThreads);
    watchdog_ = std::make_unique<LocalApi::ConnectionWatchdog>(kStepLimit, kIdleLimit);
    Poco::AutoPtr<LocalApi::ClientShare> share(
        new LocalApi::ClientShare(connectionsPerClientOf(config), kMaxThreads - kSelfCheckReserve));
    connections_ =
        new LocalApi::LocalApiConnections(params, new LocalFactory(*this), *watchdog_, share);
    tcpServer_ =
        std::make_unique<Poco::Net::TCPServer>(connections_, *threadPool_, *socket_, params);
    tcpServer_->setConnectionFilter(share);
    registerRoutes();

    reinitWorker_ = std::thread([this] { runReinitWorker(); });

    try {
        initDriver();
        initMonitoring();
    } catch (const std::exception& e) {
        // A stored configuration that cannot build the runtime components must not cost the
        // local API; a later successful set_config rebuilds them.
        Log()->error("Runtime components not started: {};", e.what());
    }
    Log()->info("Monitoring class started;");
}

Server::~Server() {
    Stop();
    tcpServer_.reset();
    threadPool_.reset();
    watchdog_.reset();
    socket_.reset();
}

void Server::listen(const std::string& address, std::uint16_t port) {
    socket_ = std::make_unique<Poco::Net::ServerSocket>();
    try {
        bindAndListen(address, port);
    } catch (const Poco::Exception& e) {
        // An address this machine does not have: the API stays reachable where the point of
        // sale on this machine finds it, and the monitoring loop can still bring a fix.
        if (address == kAllInterfaces || address == kLoopback) throw;
        listeningProblem_ = "cannot listen on " + address + " (" + e.displayText() +
                            "); listening on " + kLoopback + " only";
        Log()->error("{};", listeningProblem_);
        socket_ = std::make_unique<Poco::Net::ServerSocket>();
        bindAndListen(kLoopback, port);
    }
}

void Server::bindAndListen(const std::string& address, std::uint16_t port) {
    // Address reuse lets a restart bind at once despite connections in TIME_WAIT; port reuse
    // stays off so that a second copy can never share the port.
    socket_->bind(Poco::Net::SocketAddress(address, port), true, false);
    socket_->listen(kBacklog);
    listeningAddress_ = address;
    listeningPort_ = socket_->address().port();
}

void Server::migrateDatabase() {
    database_.Execute(DB::kMigrationsTableDdl);
    const std::string imagesFolder = Utils::Filesystem::GetDefaultImagesPath();
    Log()->info("Saved images location: {};", imagesFolder);
    DB::Migrator migrator(database_.GetSession());
    for (auto& [name, sql] :
         DB::schemaMigrations(imagesFolder, Utils::BuildConstants::pellix_agent_os_type)) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();
}

void Server::importPendingConfigFile() {
    const std::string path = Utils::Filesystem::GetDefaultConfigPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return;
    try {
        // A get_config dump fed back as a file must not replace the secrets by their masks.
        auto object = Utils::withoutMaskedSecrets(*Utils::parseJsonObject(readWholeFile(path)));
        checkLocalApiAddress(object);
        Utils::jsonToConfig(object, dbMutex_, database_, configuration_);
        std::filesystem::remove(path);
        Log()->info("Imported configuration file {};", path);
    } catch (const std::exception& e) {
        // A file that can never be applied must not stop every future start: set it aside.
        const std::string rejected = path + ".rejected";
        Log()->error("Configuration file {} rejected: {}; moved to {};", path, e.what(), rejected);
        std::filesystem::rename(path, rejected, ec);
        if (ec) Log()->error("Cannot move {}: {};", path, ec.message());
    }
}

void Server::loadStoredState() {
    {
        std::lock_guard lock(dbMutex_);
        configuration_ = Utils::Queries::getAllConfigs(database_.GetSession());
    }
    std::lock_guard lock(dbMutex_);
    auto state = Utils::Queries::getState(database_.GetSession());
    // The interval is stored under its row key but read under the loop's key; carrying it
    // over keeps the interval the monitoring service set across a restart.
    if (auto it = state.find("source_mode_polling_interval_sec"); it != state.end()) {
        state["source_mode_polling_interval"] = it->second;
    }
    State::getInstance().replaceAll(std::move(state));
}

void Server::Run() {
    try {
        tcpServer_->start();
    } catch (const Poco::Exception& e) {
        Log()->error("Failed to start server: {};", e.displayText());
        throw;
    }
    Log()->info("Server started on port {};", listeningPort_);
    Log()->info("Local API listening on {}:{};", listeningAddress_, listeningPort_);
}

void Server::Stop() {
    std::lock_guard lock(lifecycleMutex_);
    if (!stopped_ && tcpServer_) {
        // No client is waited for: every open connection is shut, so that its worker returns
        // as soon as the request it serves (if any) is done.
        tcpServer_->stop();
        // Shut first: the library's own stop signal waits for each request being read.
        watchdog_->shutdownAll();
        connections_->stopAll();
    }
    stopReinitWorker();
    replaceMonitoring(nullptr);
    if (!stopped_ && tcpServer_) {
        threadPool_->joinAll();
        stopped_ = true;
    }
    Log()->info("Server stopped;");
}

const std::string& Server::listeningProblem() const {
    return listeningProblem_;
}

int Server::busyWorkers() const {
    return tcpServer_ ? tcpServer_->currentThreads() : 0;
}

bool Server::workersExhausted() const {
    // The reserve is the self-check's; outside clients never get it.
    return busyWorkers() >= kMaxThreads - kSelfCheckReserve;
}

std::uint16_t Server::port() const {
    return listeningPort_;
}

bool Server::cameraConnected() const {
    const auto current = driver();
    return current && current->isConnected();
}

const std::string& Server::listeningAddress() const {
    return listeningAddress_;
}

void Server::setForwarding(bool on) {
    std::lock_guard lock(componentsMutex_);
    forwarding_ = on;
}

Server::CameraEndpoint Server::cameraEndpoint() const {
    std::lock_guard lock(componentsMutex_);
    return camera_;
}

Utils::ConfigMap Server::configSnapshot() {
    std::lock_guard lock(dbMutex_);
    return configuration_;
}

void Server::initDriver() {
    const auto config = configSnapshot();
    CameraEndpoint endpoint = cameraEndpoint();
    if (auto it = config.find("device_ip"); it != config.end() && it->second.isString()) {
        endpoint.host = it->second.extract<std::string>();
    }
    if (auto it = config.find("device_port"); it != config.end() && it->second.isString()) {
        endpoint.port = readPortNumber(it->second.extract<std::string>(), "device_port");
    }
    auto driver =
        std::make_shared<Driver::PellixDriver>(endpoint.host, endpoint.port, dbMutex_, database_);
    auto deviceData = std::make_shared<Sync::DeviceDataProvider>(driver);
    std::lock_guard lock(componentsMutex_);
    camera_ = endpoint;
    driver_ = std::move(driver);
    deviceData_ = std::move(deviceData);
}

std::shared_ptr<Driver::PellixDriver> Server::driver() const {
    std::lock_guard lock(componentsMutex_);
    return driver_;
}

std::shared_ptr<Sync::MonitoringDriver> Server::monitoring() const {
    std::lock_guard lock(componentsMutex_);
    return monitoring_;
}

void Server::replaceMonitoring(std::shared_ptr<Sync::MonitoringDriver> monitoring) {
    {
        std::lock_guard lock(componentsMutex_);
        std::swap(monitoring_, monitoring);
    }
    // Stopping waits for the loop's current request; requests still relaying through the old
    // client keep it alive until they return.
    if (monitoring) monitoring->stop();
}

void Server::notifyAttributesChanged() {
    if (auto current = monitoring()) current->attributes_update();
}

void Server::initMonitoring() {
    std::lock_guard rebuild(initMutex_);
    Log()->info("initMonitoring() called;");
    replaceMonitoring(
        std::make_shared<Sync::MonitoringDriver>(database_.GetSession(), configuration_, dbMutex_));
    initDriver();
    const MonitoringConfiguration settings = readMonitoringConfiguration(configSnapshot());
    auto s3 = std::make_shared<Sync::S3ClientProvider>(
        settings.fileStorageAddress, settings.fileStorageBucket, settings.fileStorageLogin,
        settings.fileStoragePassword, readBackoffCap(configSnapshot()),
        Sync::readNetworkSettings(configSnapshot()));
    std::shared_ptr<Sync::MonitoringDriver> current;
    std::shared_ptr<Sync::DeviceDataProvider> deviceData;
    std::shared_ptr<Sync::TaskHandlerProvider> tasks;
    {
        std::lock_guard lock(componentsMutex_);
        tasks = std::make_shared<Sync::TaskHandlerProvider>(s3, configuration_, driver_, dbMutex_,
                                                            database_);
        s3_ = s3;
        tasks_ = tasks;
        current = monitoring_;
        deviceData = deviceData_;
    }
    if (!settings.tlsVerifyPeer) {
        Log()->warn("TLS certificate verification of the monitoring service is off;");
    }
    current->setTlsVerifyPeer(settings.tlsVerifyPeer);
    current->setMonitoringSettings(settings.serviceType, settings.address, settings.port,
                                   settings.gettingTasks, settings.imageSendingEnabled,
                                   settings.requestFrequencyMs, settings.clientSecret,
                                   settings.deviceId, settings.predictionDataFolder, s3, tasks,
                                   deviceData, [this] { requestReinit(); });
    Log()->info("Loaded monitoring settings from config;");
}

void Server::requestReinit() {
    {
        std::lock_guard lock(reinitMutex_);
        reinitRequested_ = true;
    }
    reinitWake_.notify_all();
}

// Rebuilds asked for by the monitoring loop run here: the rebuild stops and replaces the very
// loop that asked, which must not wait for itself.
void Server::runReinitWorker() {
    std::unique_lock lock(reinitMutex_);
    while (true) {
        reinitWake_.wait(lock, [this] { return reinitRequested_ || reinitStopping_; });
        if (reinitStopping_) return;
        reinitRequested_ = false;
        lock.unlock();
        try {
            reinitRuntimeParameters();
        } catch (const std::exception& e) {
            Log()->error("Runtime components not rebuilt: {};", e.what());
        }
        lock.lock();
    }
}

void Server::stopReinitWorker() {
    {
        std::lock_guard lock(reinitMutex_);
        reinitStopping_ = true;
    }
    reinitWake_.notify_all();
    if (reinitWorker_.joinable()) reinitWorker_.join();
}

void Server::reinitRuntimeParameters() {
    initMonitoring();
    Log()->info("Monitoring started after reinit;");
}

}  // namespace korvane::Engine::Test
