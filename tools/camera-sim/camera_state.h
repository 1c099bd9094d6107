// Everything the simulated camera remembers: its identity, the products with their templates,
// its settings, synchronisation, the long-running transfer jobs and the simulator's own knobs.
// Owned by CameraSimulator; any request thread may call it, and every access to the data goes
// through with(), which holds the one state mutex for the duration of the callback.
#pragma once

#include <Poco/JSON/Object.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace korvane::CameraSim {

struct Product {
    std::vector<std::string> templates;  // template ids, oldest first
    std::optional<bool> soldout;         // reported only once an operator set it
};

struct Calibration {
    int left = 0;
    int top = 0;
    int width = 1280;
    int height = 720;
};

struct SyncSettings {
    std::string mode = "normal";  // normal, master or slave
    bool upload = false;
    bool download = false;
    std::string masterIP;
    std::string masterSN;
    std::optional<std::string> mastersyncPort;
    int limit = 10;
    int count = 0;
    std::string message = "sync not started";
    std::string synctime;
};

struct DeviceData;

enum class JobKind { Export, Import, Upgrade, Restore };

struct JobStage {
    int status = 0;
    std::string msg;
};

// A camera job walks through `stages`, one per step of the configured length, then rests at
// `final`. `onComplete` runs once, under the state lock, when a successful job reaches the end.
struct Job {
    std::chrono::steady_clock::time_point start;
    std::vector<JobStage> stages;
    JobStage final;
    bool succeeds = true;
    bool settled = false;
    std::string filename;
    std::size_t bytes = 0;
    std::vector<std::pair<std::string, std::string>> params;
    std::function<void(DeviceData&)> onComplete;
};

struct FeedbackRecord {
    std::string sid;
    std::string id;
    bool knownSid = false;
};

struct Candidate {
    std::string id;
    double score = 0;
};

// Knobs of the simulator itself, changed through the control API.
struct SimSettings {
    int jobStepMs = 1000;
    int rebootDownMs = 0;
    std::map<JobKind, int> failNext;  // the next job of a kind ends in that status
    std::optional<std::vector<Candidate>> fixedResult;  // get_result answers these when set
};

struct DeviceData {
    std::string sn = "PX2025091700417";
    std::string app = "3.8.12";
    std::string engine = "E2.4.1";
    std::string firmware = "F1.9.6";
    std::string board = "PX-RK3568";
    std::string clientID = "px-client-00417";

    std::map<std::string, Product> products;
    int maxTemplates = 20;

    int maxResult = 5;
    std::string predictSpeed = "normal";
    int learnMode = 0;
    int soldOutLimit = 3;
    std::int64_t clockOffsetUs = 0;
    std::optional<std::string> storeName;
    std::optional<std::string> storeId;
    std::optional<std::string> storeDep;
    Calibration calib;
    SyncSettings sync;
    std::string superiorSn;
    std::string superiorIp;
    std::map<std::string, std::vector<std::string>> deletionAll;  // product id -> SNs done

    std::deque<std::string> recentSids;
    std::unordered_set<std::string> recentSidSet;
    std::deque<FeedbackRecord> feedback;
    int reboots = 0;
    int resets = 0;
    int internetOnce = 0;
    std::uint64_t serial = 0;
    std::uint64_t resultsServed = 0;

    std::map<JobKind, Job> jobs;
    std::map<std::string, std::string> archives;  // finished exports by file name

    SimSettings sim;
    std::mt19937 rng;
};

class CameraState {
  public:
    CameraState(int jobStepMs, unsigned seed);

    // Runs `fn(DeviceData&)` under the state mutex, after bringing the jobs up to date.
    template <class Fn>
    decltype(auto) with(Fn&& fn) {
        std::lock_guard lock(mutex_);
        settleJobs(data_);
        return fn(data_);
    }

    // Back to the factory products and settings and the simulator's start-up knobs.
    void reset();

    // The whole state as JSON (for /sim/state and the state file).
    Poco::JSON::Object::Ptr snapshot();
    // Takes products and settings back from a snapshot written earlier; unknown members are
    // ignored.
    void restore(const Poco::JSON::Object::Ptr& saved);

    // Status of a job at this moment: the stage it is in, or its final stage.
    static const JobStage& currentStage(const Job& job, int stepMs);
    static const char* jobName(JobKind kind);

  private:
    static void settleJobs(DeviceData& data);
    static void seedFactory(DeviceData& data);

    std::mutex mutex_;
    DeviceData data_;
    const int startJobStepMs_;
    const unsigned seed_;
};

// A fresh identifier made of a prefix, the wall-clock milliseconds and a running number; safe
// as a file name. Call with the state lock held.
std::string nextSerialId(DeviceData& data, const char* prefix);

// Wall-clock time of the camera (the host clock moved by set_time), in microseconds.
std::int64_t cameraClockUs(const DeviceData& data);

}  // namespace korvane::CameraSim
