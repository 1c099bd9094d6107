// The operators' routes: GET /metrics for a Prometheus scrape and GET /healthz for a probe.
// Both read state the Agent keeps anyway; the counters behind /metrics are atomics that the
// request threads add to without a lock.
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include <chrono>
#include <mutex>
#include <set>

#include "agent_metrics.h"
#include "build_constants.h"
#include "image_budget.h"
#include "logger.h"
#include "metrics_exposition.h"
#include "monitoring_driver.h"
#include "prepared_statement.h"
#include "process_stats.h"
#include "queue_queries.h"
#include "responses.h"
#include "server.h"

namespace korvane::Engine::Test {

namespace {

using Utils::Metrics::Exposition;

const std::set<std::string> kGet = {"GET"};
// The loop makes a pass about every second; two minutes without one means it is stuck.
constexpr auto kPassOverdue = std::chrono::seconds(120);
// Listing a folder of tens of thousands of images costs tens of milliseconds: once a minute.
constexpr auto kFolderRecount = std::chrono::seconds(60);

// The images folder's size as last counted, recounted when older than kFolderRecount.
class FolderBytes {
  public:
    std::uintmax_t of(const std::string& folder) {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (folder != folder_ || !counted_ || now - countedAt_ >= kFolderRecount) {
            bytes_ = Utils::imageFolderBytes(folder);
            folder_ = folder;
            countedAt_ = now;
            counted_ = true;
        }
        return bytes_;
    }

  private:
    std::mutex mutex_;
    std::string folder_;                               // guarded by mutex_
    std::chrono::steady_clock::time_point countedAt_;  // guarded by mutex_
    std::uintmax_t bytes_ = 0;                         // guarded by mutex_
    bool counted_ = false;                             // guarded by mutex_
};

void writeProcessMetrics(Exposition& out) {
    const auto stats = Utils::readProcessStats();
    if (!stats) return;
    out.family("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
               "counter");
    out.sample("process_cpu_seconds_total", stats->cpuSeconds);
    out.gauge("process_resident_memory_bytes", "Resident memory size in bytes.",
              static_cast<double>(stats->residentBytes));
    out.gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.",
              static_cast<double>(stats->virtualBytes));
    out.gauge("process_open_fds", "Number of open file descriptors.",
              static_cast<double>(stats->openDescriptors));
    out.gauge("process_max_fds", "Maximum number of open file descriptors.",
              static_cast<double>(stats->maxDescriptors));
    out.gauge("process_start_time_seconds",
              "Start time of the process since unix epoch in seconds.", stats->startTimeSeconds);
}

void writeQueueMetrics(Exposition& out, const std::vector<Utils::Queries::QueueStats>& queues) {
    out.family("pellix_queue_depth", "Entries waiting to be delivered to the monitoring service.",
               "gauge");
    for (const auto& queue : queues) {
        out.sample("pellix_queue_depth", {{"queue", queue.queue}}, queue.depth);
    }
    out.family("pellix_queue_oldest_age_seconds",
               "How long the oldest waiting entry has waited (0 when none waits).", "gauge");
    for (const auto& queue : queues) {
        out.sample("pellix_queue_oldest_age_seconds", {{"queue", queue.queue}},
                   queue.oldestAgeSeconds);
    }
}

}  // namespace

void Server::registerOperatorRoutes() {
    router_.addRootCommand(
        "metrics", kGet, [this](const ApiRequest&) { return metrics(); }, LocalApi::Access::Admin);
    router_.addRootCommand("healthz", kGet, [this](const ApiRequest&) { return health(); });
}

ApiReply Server::metrics() {
    Exposition out;
    Utils::Metrics::agentMetrics().writeTo(out);

    std::vector<Utils::Queries::QueueStats> queues;
    std::string imagesFolder;
    try {
        std::lock_guard lock(dbMutex_);
        queues = Utils::Queries::getQueueStats(database_.GetSession());
        imagesFolder = Utils::imageFolder(configuration_).value_or("");
    } catch (const std::exception& e) {
        // The rest of the scrape still tells the operator something.
        Log()->error("Metrics: queue depths not read: {};", e.what());
    }
    if (!queues.empty()) writeQueueMetrics(out, queues);
    if (!imagesFolder.empty()) {
        static FolderBytes folderBytes;
        out.gauge("pellix_images_folder_bytes", "Bytes of the recognition images kept on disk.",
                  static_cast<double>(folderBytes.of(imagesFolder)));
    }

    out.gauge("pellix_camera_connected",
              "Whether the camera module answered the last exchange with it (1) or not (0).",
              cameraConnected() ? 1 : 0);
    if (const auto monitoringClient = monitoring()) {
        out.gauge("pellix_monitoring_backoff_seconds",
                  "The wait before the next contact with a failing monitoring service (0 while "
                  "it answers).",
                  std::chrono::duration<double>(monitoringClient->backoffWait()).count());
        if (const auto since = monitoringClient->sinceLastPass()) {
            out.gauge("pellix_monitoring_last_pass_age_seconds",
                      "Seconds since the monitoring loop last finished a pass.",
                      std::chrono::duration<double>(*since).count());
        }
    }
    out.gauge("pellix_local_api_busy_workers", "Local API workers serving a connection now.",
              busyWorkers());
    writeProcessMetrics(out);
    out.family("pellix_build_info", "The Agent's version; the value is always 1.", "gauge");
    out.sample("pellix_build_info", {{"version", Utils::BuildConstants::pellix_agent_version}}, 1);
    return ApiReply::bytes(out.text(), Exposition::kContentType);
}

ApiReply Server::health() {
    Poco::JSON::Object::Ptr data = new Poco::JSON::Object;
    Poco::JSON::Array::Ptr failing = new Poco::JSON::Array;
    const auto check = [&](const char* name, bool ok, const char* okText = "ok") {
        data->set(name, ok ? okText : "failing");
        if (!ok) failing->add(name);
    };

    bool databaseAnswers = false;
    try {
        std::lock_guard lock(dbMutex_);
        DB::PreparedStatement probe(database_.GetSession(), "SELECT COUNT(*) FROM sqlite_master");
        databaseAnswers = probe.step();
    } catch (const std::exception& e) {
        Log()->error("Health check: the database does not answer: {};", e.what());
    }
    check("database", databaseAnswers);
    check("workers", !workersExhausted());

    const auto monitoringClient = monitoring();
    const auto since = monitoringClient ? monitoringClient->sinceLastPass() : std::nullopt;
    if (since) {
        check("monitoring", *since <= kPassOverdue);
    } else {
        check("monitoring", true, "off");
    }

    if (failing->size() == 0)
        return ApiReply::json(Utils::toJsonText(Utils::make_response(0, data)));
    data->set("failing", failing);
    return ApiReply::json(
        Utils::toJsonText(Utils::make_response(LocalApi::kInternalErrorCode, data)), 503);
}

}  // namespace korvane::Engine::Test
