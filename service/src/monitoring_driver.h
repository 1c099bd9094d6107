#pragma once
// The Agent's client of the remote monitoring service: its settings, the OpenID Connect token,
// the directory and registration relay, the task answers and the background loop that reports
// to the service. Owned by the Server, which rebuilds it after each configuration change.
// Request threads call the directory operations, check_connect and the update notices while the
// loop thread runs; every shared member is guarded (see the member comments).

#include <Poco/Dynamic/Var.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "config_map.h"
#include "metric_family.h"
#include "queue_queries.h"
#include "refusal_streak.h"
#include "repeat_limiter.h"
#include "rest_client.h"
#include "service_backoff.h"

namespace Poco::Data {
class Session;
}

namespace korvane::Utils::Models {
struct Task;
}

namespace korvane::Engine::Sync {

class S3ClientProvider;
class TaskHandlerProvider;
class DeviceDataProvider;

struct MonitoringSettings {
    std::string serviceType;
    std::string serviceAddress;  // empty: monitoring is not configured
    std::string servicePort;
    bool gettingTasks = false;
    bool imageSendingEnabled = false;
    long long requestFrequency = 0;  // milliseconds between task fetches
    std::string clientSecret;
    std::string deviceId;
    std::string dataFolderPath;
};

struct TokenSettings {
    std::string accessToken;
    std::int64_t expiresIn = 0;
    std::int64_t refreshExpiresIn = 0;
    std::string refreshToken;
    std::string tokenType = "Bearer";
    std::string sessionState;
    std::string scope;
};

class MonitoringDriver {
  public:
    // Result of a directory operation: 0 or -6207, and the service's (or a synthetic) answer.
    using Result = std::pair<int, REST::RawResponse>;
    using TaskHandler = std::function<void(Utils::Models::Task&)>;

    // Paces one periodic stage of the loop. Each instance guards itself.
    class DeviceDataScheduler {
      public:
        explicit DeviceDataScheduler(long long intervalMs = 10000);
        void reset();
        void slide();
        bool shouldRunNow();
        void setInterval(long long intervalMs);
        long long interval() const;
        // Due now or later; for tests.
        std::chrono::steady_clock::time_point nextRun() const;

      private:
        mutable std::mutex mutex_;
        long long interval_;
        std::chrono::steady_clock::time_point nextRun_;
    };

    // Process-wide: every MonitoringDriver shares them.
    static DeviceDataScheduler schedulerTusk_;
    static DeviceDataScheduler schedulerCheckActual_;
    static DeviceDataScheduler schedulerSource_;
    static DeviceDataScheduler schedulerPing_;

    MonitoringDriver(Poco::Data::Session& session, Utils::ConfigMap& config, std::mutex& dbMutex);
    ~MonitoringDriver();
    MonitoringDriver(const MonitoringDriver&) = delete;
    MonitoringDriver& operator=(const MonitoringDriver&) = delete;

    // Certificate checks of the https client built by the next setMonitoringSettings.
    void setTlsVerifyPeer(bool verify);

    // Stops the loop, applies the settings and starts the loop again (not when the address is
    // empty). Throws when the port is not a number; the loop then stays stopped.
    void setMonitoringSettings(const std::string& serviceType, const std::string& serviceAddress,
                               const std::string& servicePort, const bool& gettingTasks,
                               const bool& imageSendingEnabled, const long long& requestFrequency,
                               const std::string& clientSecret, const std::string& deviceId,
                               const std::string& dataFolderPath,
                               std::shared_ptr<S3ClientProvider> s3,
                               std::shared_ptr<TaskHandlerProvider> tasks,
                               std::shared_ptr<DeviceDataProvider> data,
                               std::function<void()> reinit);
    MonitoringSettings getMonitoringSettings() const;
    TokenSettings getTokenSettings() const;

    // Never throws; false when no token could be obtained.
    bool authenticate();
    // Throws when a renewal answered 200 is not a usable token answer.
    bool refreshTokenIfNeeded();
    std::chrono::system_clock::time_point calculateTokenExpiry(const int& marginSeconds) const;
    std::chrono::system_clock::time_point tokenExpiry() const;
    // 0 while an access token is held, -10002 otherwise.
    int check_connect() const;

    void start();
    void stop();
    bool running() const { return running_; }
    // The wait the loop chose after the service last failed, 0 while it answers.
    std::chrono::milliseconds backoffWait() const { return backoff_.currentWait(); }
    // How long ago the loop last finished a pass (or started), nullopt while it is not running.
    std::optional<std::chrono::steady_clock::duration> sinceLastPass() const;

    // Remote tasks: the handler table, the dispatch of one task and the three answers.
    void registerTaskHandler(const std::string& type, TaskHandler handler);
    void initTaskHandlers();
    void executeTaskHandler(Utils::Models::Task& task);
    void confirmTask(const Utils::Models::Task& task);
    void reportError(const Utils::Models::Task& task, const std::string& description,
                     const std::string& error, const std::string& value);
    void rejectTask(const Utils::Models::Task& task, const std::string& reason);

    void onTaskReceived(std::function<void(Utils::Models::Task&)> callback);
    void onError(std::function<void(const std::string&)> callback);

    // "/api/v1/devices/<device id>" followed by the parts, each without its leading and
    // trailing slash. The device id is percent-encoded as one path segment; the parts are
    // the caller's and must already be safe.
    template <typename... Parts>
    std::string fullPath(const Parts&... parts) const {
        std::string path = devicePathPrefix();
        (appendPathPart(path, std::string(parts)), ...);
        return path;
    }

    static REST::RawResponse generate_bad_answer(const char* message);

    void reset_ping();
    void attributes_update();
    void telemetries_update();

    // Directory and registration relay. params become the query string in their order; ids
    // are sent as one encoded path segment whatever they hold.
    Result get_stores_list(const REST::NameValues& params);
    Result get_stores_types_list(const REST::NameValues& params);
    Result get_stores_departments_list(const REST::NameValues& params);
    Result get_stores_regions_list(const REST::NameValues& params);
    Result get_devices_models_list(const REST::NameValues& params);
    Result get_device_list(const REST::NameValues& params);
    Result get_device_info(const std::string& id, const REST::NameValues& params);
    Result get_device_attributes(const std::string& id, const REST::NameValues& params);
    Result delete_device(const std::string& id, const REST::NameValues& params);
    Result get_device_attributes_list(const std::string& body, const REST::NameValues& params);
    Result create_device(const std::string& body, const REST::NameValues& params);
    Result create_device_model(const std::string& body, const REST::NameValues& params);
    Result update_device_data(const std::string& id, const std::string& body,
                              const REST::NameValues& params);

  private:
    struct DirectoryCall;

    // start() and stop() with the lifecycle mutex already held.
    void startLoop();
    void stopLoop();
    void loop();
    void markPassEnded();
    // One pass of the loop; false when the loop must end.
    bool runPass(std::unique_lock<std::mutex>& loopLock);
    // Waits up to the given time, ending early when the loop is being stopped.
    void pause(std::unique_lock<std::mutex>& loopLock, std::chrono::milliseconds duration);

    // The loop's stages, in the order of a pass.
    void autosearchDeviceId(DeviceDataProvider& data);
    void fetchCheckActual();
    void sendAttributes(DeviceDataProvider& data);
    void sendTelemetries(DeviceDataProvider& data);
    void sendAlarm(DeviceDataProvider& data);
    void sendNextRecognition();
    void sendNextAlert();
    void fetchTask();
    void runSourceBlock(DeviceDataProvider& data);
    void sendPing();
    // Whether the entry is so fresh that its image may still be on its way to the disk.
    bool imageStillExpected(const Utils::Queries::RecognitionQueueEntry& entry,
                            const MonitoringSettings& settings) const;
    // The URL of the entry's uploaded image, or "" when it is sent without one.
    std::string uploadRecognitionImage(const Utils::Queries::RecognitionQueueEntry& entry,
                                       const MonitoringSettings& settings);
    // Whether body is a JSON object whose "code" is that string.
    static bool isErrorCode(const std::string& body, const char* code);

    std::shared_ptr<S3ClientProvider> s3Provider() const;
    std::shared_ptr<DeviceDataProvider> deviceDataProvider() const;
    std::shared_ptr<TaskHandlerProvider> taskHandlerProvider() const;
    std::shared_ptr<REST::RestClient> client() const;
    // A client for the service, with the timeout and any token already held. Throws when the
    // port is not a number.
    std::shared_ptr<REST::RestClient> buildClient(const std::string& address,
                                                  const std::string& port);
    // POSTs body to a device-scoped path and answers the service's answer; on 200 slides the
    // ping, otherwise logs the failure text followed by the answer body.
    REST::RawResponse deliver(const std::string& part, const boost::json::value& body,
                              const char* failure);
    using SetAside = void (*)(Poco::Data::Session&, int, int, const std::string&);
    // Moves queue entry id to the dead letters once streak says the service refused it for
    // good; answers whether it did.
    bool setAsideWhenRefusedForGood(RefusalStreak& streak, const char* kind, int id,
                                    const REST::RawResponse& answer, SetAside setAside);
    // POST of a JSON body to a device-scoped path.
    REST::RawResponse post(const std::string& part, const boost::json::value& body);
    // Answers about a task go to /tasks/<id>/<action>.
    REST::RawResponse postTaskAnswer(const Utils::Models::Task& task, const char* action,
                                     const boost::json::value& body);
    REST::RawResponse requestToken(bool withRefreshToken);
    // Runs one exchange and counts it in family under (label, outcome): ok for a 200, refused
    // for any other answer, unreachable when it throws (the exception propagates).
    static REST::RawResponse countedExchange(
        Utils::Metrics::Family<Utils::Metrics::Counter>& family, std::string_view label,
        const std::function<REST::RawResponse()>& exchange);
    // Every exchange with the service: failures feed the backoff, a refused token is dropped.
    void onServiceExchange(const std::string& path, const REST::RawResponse* answer);
    // Forgets the access token the service refused, so the next pass renews it; the refresh
    // token is kept and tried first.
    void dropAccessToken();
    // monitoring_backoff_max_s, or the default when absent or not a whole number of seconds.
    std::chrono::seconds backoffCap();
    // Stores a whole token answer or throws leaving the stored token untouched.
    void storeTokenAnswer(const std::string& body);
    // Hands a failure message to the error callback, when one is set.
    void notifyError(const std::string& message);

    Result relay(const DirectoryCall& call);
    std::string devicePathPrefix() const;
    static void appendPathPart(std::string& path, std::string part);

    mutable std::mutex clientMutex_;  // guards client_ (replaced by setMonitoringSettings)
    std::shared_ptr<REST::RestClient> client_;
    bool tlsVerifyPeer_ = true;  // guarded by clientMutex_

    mutable std::mutex providersMutex_;  // guards the three provider pointers
    std::weak_ptr<S3ClientProvider> s3_;
    std::weak_ptr<TaskHandlerProvider> tasks_;
    std::weak_ptr<DeviceDataProvider> deviceData_;
    bool autosearchTried_ = false;       // loop thread only
    RefusalStreak recognitionRefusals_;  // loop thread only
    RefusalStreak alertRefusals_;        // loop thread only

    Poco::Data::Session& session_;
    Utils::ConfigMap& config_;
    std::mutex& dbMutex_;

    mutable std::mutex settingsMutex_;  // guards settings_
    MonitoringSettings settings_;

    mutable std::mutex tokenMutex_;  // guards token_ and tokenExpiry_
    TokenSettings token_;
    // On the steady clock: a jump of the wall clock neither keeps a dead token nor renews a
    // live one on every pass.
    std::chrono::steady_clock::time_point tokenExpiry_{};

    std::thread worker_;
    std::atomic<bool> running_{false};
    // steady_clock ticks at the end of the last pass, or at the loop's start.
    std::atomic<std::chrono::steady_clock::rep> lastPassEnded_{0};

    std::mutex callbackMutex_;  // guards the callbacks, reinit_ and taskHandlers_
    std::function<void(Utils::Models::Task&)> taskReceived_;
    std::function<void(const std::string&)> errorCallback_;
    std::function<void()> reinit_;
    std::unordered_map<std::string, TaskHandler> taskHandlers_;

    ServiceBackoff backoff_;
    // The same failure on every pass is logged once a minute, with the count held back.
    RepeatLimiter failureLog_;

    std::mutex loopMutex_;
    std::condition_variable wake_;
    std::mutex lifecycleMutex_;  // serialises start, stop and settings changes; before loopMutex_
};

}  // namespace korvane::Engine::Sync
