#pragma once
// The Agent's hub: owns the database, the configuration map, the database mutex and the local
// HTTP API. The constructor opens and migrates the database, imports a pending config.json,
// loads the configuration and builds the runtime components; Run() starts serving and Stop()
// ends it. Created and destroyed on the main thread; HandleSession runs on up to 256 HTTP
// worker threads at once. Lock order where locks nest: components mutex, then database mutex.

#include <Poco/JSON/Object.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "api_exchange.h"
#include "config_map.h"
#include "router.h"
#include "sqlite_db.h"

namespace Poco {
class ThreadPool;
namespace Net {
class HTTPServerRequest;
class HTTPServerResponse;
class ServerSocket;
class TCPServer;
}  // namespace Net
}  // namespace Poco

namespace korvane::Engine::Driver {
class PellixDriver;
}

namespace korvane::Engine::Sync {
class DeviceDataProvider;
class MonitoringDriver;
class S3ClientProvider;
class TaskHandlerProvider;
}  // namespace korvane::Engine::Sync

namespace korvane::Engine::LocalApi {
class ConnectionWatchdog;
class LocalApiConnections;
}  // namespace korvane::Engine::LocalApi

namespace korvane::Engine::Test {

using LocalApi::ApiReply;
using LocalApi::ApiRequest;

class Server {
  public:
    // Throws whatever a construction step throws (database, migration, port binding).
    Server(std::uint16_t port, const std::string& dbPath);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the HTTP server and returns. Rethrows the HTTP library's failure.
    void Run();
    // Stops the HTTP server and monitoring: open connections are shut, not waited for; a
    // request being served finishes first. Idempotent.
    void Stop();

    // The bound port (the kernel's choice when 0 was asked for).
    std::uint16_t port() const;
    // Whether the camera module answered the last exchange with it (false without a driver).
    bool cameraConnected() const;
    // The IPv4 address the API listens on, fixed at construction: "0.0.0.0" for all
    // interfaces (reach it through 127.0.0.1 then), or the local_api_address configured.
    const std::string& listeningAddress() const;
    // Why the API does not listen where local_api_address says (it listens on 127.0.0.1 only
    // then); empty when it does. Fixed at construction.
    const std::string& listeningProblem() const;

    void HandleSession(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response);

    // Rebuild the runtime components from the configuration map.
    void initDriver();
    void initMonitoring();
    void reinitRuntimeParameters();

    // When on, requests outside /api are relayed to the camera module. Off by default.
    void setForwarding(bool on);

  private:
    struct CameraEndpoint {
        std::string host;
        int port = 0;
    };

    // Listens on address, or on loopback alone when address cannot be bound.
    void listen(const std::string& address, std::uint16_t port);
    void bindAndListen(const std::string& address, std::uint16_t port);
    void migrateDatabase();
    void importPendingConfigFile();
    void loadStoredState();
    void registerRoutes();
    void registerCameraRoutes();
    void registerOperatorRoutes();

    // The current camera driver (null until one could be built); callers keep their copy
    // alive for the length of their request.
    std::shared_ptr<Driver::PellixDriver> driver() const;
    // The current monitoring client, or null when none could be built.
    std::shared_ptr<Sync::MonitoringDriver> monitoring() const;
    // Replaces the monitoring client; the old one's loop is stopped outside the lock.
    void replaceMonitoring(std::shared_ptr<Sync::MonitoringDriver> monitoring);
    // Device attributes changed on the camera; the monitoring client reports them at once
    // when it runs. Nothing to tell while no monitoring client exists.
    void notifyAttributesChanged();
    // Asks the rebuild thread for reinitRuntimeParameters(); returns at once.
    void requestReinit();
    void runReinitWorker();
    void stopReinitWorker();

    ApiReply getImage(const ApiRequest& request);
    ApiReply downloadTemplate(const ApiRequest& request);
    ApiReply upload(const ApiRequest& request,
                    const std::function<ApiReply(const std::string& boundary)>& send);

    // A refusal answered before the body is read: framing that leaves the body's end in doubt,
    // an admin route without the admin token, an upload while every upload slot is taken.
    std::optional<ApiReply> refusalBeforeBody(const Poco::Net::HTTPServerRequest& request,
                                              const ApiRequest& api, bool uploadSlotFree);
    // Whether the request shows local_api_admin_token as its bearer token, or none is set.
    bool adminAllowed(const ApiRequest& request);

    ApiReply outsideApi(const ApiRequest& request);
    ApiReply forwardToCamera(const ApiRequest& request);
    void printUnroutedRequest(const ApiRequest& request) const;
    bool forwardingEnabled() const;

    ApiReply getConfig(const ApiRequest& request);
    ApiReply getInfo();
    ApiReply requeueDeadLetters();
    ApiReply setConfig(const ApiRequest& request);
    // Whether the configuration with these changes applied could still build the runtime
    // components; logs the reason when not.
    bool acceptableConfiguration(const Poco::JSON::Object::Ptr& changes);
    ApiReply setDataLoopFreq(const ApiRequest& request);
    ApiReply checkConnect();
    ApiReply relayToMonitoring(const ApiRequest& request);
    // The Prometheus exposition of the Agent's counters and state.
    ApiReply metrics();
    // 200 when the database answers, workers are free and the monitoring loop makes passes;
    // 503 naming the checks that fail.
    ApiReply health();
    // Workers serving a connection now, and whether no outside client could get one more.
    int busyWorkers() const;
    bool workersExhausted() const;

    CameraEndpoint cameraEndpoint() const;
    Utils::ConfigMap configSnapshot();

    DB::SQLiteDB database_;
    Utils::ConfigMap configuration_;                        // guarded by dbMutex_
    std::shared_ptr<Driver::PellixDriver> driver_;          // guarded by componentsMutex_
    std::shared_ptr<Sync::DeviceDataProvider> deviceData_;  // guarded by componentsMutex_
    std::shared_ptr<Sync::MonitoringDriver> monitoring_;    // guarded by componentsMutex_
    std::shared_ptr<Sync::S3ClientProvider> s3_;            // guarded by componentsMutex_
    std::shared_ptr<Sync::TaskHandlerProvider> tasks_;      // guarded by componentsMutex_
    bool forwarding_ = false;                               // guarded by componentsMutex_
    CameraEndpoint camera_;                                 // guarded by componentsMutex_
    std::uint16_t listeningPort_ = 0;
    std::string listeningAddress_;
    std::string listeningProblem_;
    std::unique_ptr<Poco::Net::ServerSocket> socket_;
    std::unique_ptr<Poco::ThreadPool> threadPool_;
    std::unique_ptr<LocalApi::ConnectionWatchdog> watchdog_;
    LocalApi::LocalApiConnections* connections_ = nullptr;  // owned by tcpServer_
    std::unique_ptr<Poco::Net::TCPServer> tcpServer_;
    LocalApi::Router router_;
    std::mutex dbMutex_;
    mutable std::mutex componentsMutex_;
    std::mutex configChangeMutex_;  // one set_config at a time between check and store
    std::mutex initMutex_;          // one rebuild of the runtime components at a time
    std::atomic<int> uploadsSpooling_{0};
    std::mutex lifecycleMutex_;
    bool stopped_ = false;  // guarded by lifecycleMutex_
    std::thread reinitWorker_;
    std::mutex reinitMutex_;
    std::condition_variable reinitWake_;
    bool reinitRequested_ = false;  // guarded by reinitMutex_
    bool reinitStopping_ = false;   // guarded by reinitMutex_
};

}  // namespace korvane::Engine::Test
