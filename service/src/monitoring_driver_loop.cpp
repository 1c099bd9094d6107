// MonitoringDriver's background loop: one pass about every second that keeps the token fresh,
// delivers what the Agent has to report, fetches settings and tasks, and keeps the product
// templates of the camera in step with the service.
#include <Poco/Data/Transaction.h>

#include <boost/json.hpp>
#include <filesystem>

#include "agent_metrics.h"
#include "config_queries.h"
#include "dead_letter_queries.h"
#include "device_data_provider.h"
#include "logger.h"
#include "models_task.h"
#include "monitoring_answers.h"
#include "monitoring_driver.h"
#include "monitoring_messages.h"
#include "product_queries.h"
#include "queue_queries.h"
#include "s3_client_provider.h"
#include "source_mode.h"
#include "state.h"
#include "task_handler_provider.h"

namespace korvane::Engine::Sync {

namespace {

constexpr long long kSlowStageMs = 7000;
constexpr int kUploadAttempts = 2;
constexpr auto kImageGrace = std::chrono::seconds(5);
constexpr std::size_t kKeptAnswerBytes = 2048;
const std::string kDeviceModel = "Korvane Pellix Module";
const std::string kDeviceType = "recognition_module";

// Runs one stage and warns when it held up the loop.
template <typename Stage>
void timed(const char* name, Stage&& stage) {
    const auto begin = std::chrono::steady_clock::now();
    stage();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - begin)
                             .count();
    if (elapsed > kSlowStageMs) Log()->warn("Slow run in {} ({} ms)!", name, elapsed);
}

}  // namespace

void MonitoringDriver::loop() {
    while (running_) {
        std::unique_lock lock(loopMutex_);
        if (!running_) return;
        try {
            if (!runPass(lock)) {
                running_ = false;
                return;
            }
        } catch (const std::exception& e) {
            // A failure the stages do not handle themselves ends the pass, never the thread.
            if (auto tail = failureLog_.admit(std::string("pass ") + e.what())) {
                Log()->error("Monitoring loop pass failed: {}{};", e.what(), *tail);
            }
            pause(lock, backoff_.takePause());
        }
        markPassEnded();
    }
}

void MonitoringDriver::pause(std::unique_lock<std::mutex>& loopLock,
                             std::chrono::milliseconds duration) {
    wake_.wait_for(loopLock, duration, [this] { return !running_; });
}

bool MonitoringDriver::runPass(std::unique_lock<std::mutex>& loopLock) {
    bool tokenReady = false;
    timed("Token check", [&] { tokenReady = refreshTokenIfNeeded(); });
    if (!tokenReady) {
        if (auto tail = failureLog_.admit("no token"))
            Log()->info("Monitoring refresh token;{}", *tail);
        pause(loopLock, backoff_.takePause());
        return true;
    }
    if (!running_) return false;
    const std::shared_ptr<DeviceDataProvider> data = deviceDataProvider();
    if (!data) {
        Log()->error("device_data_provider_ expired, reinit required to continue event loop...");
        return false;
    }
    std::map<std::string, int> counts;
    {
        std::lock_guard lock(dbMutex_);
        counts = Utils::Queries::getCountDataSend(session_);
    }

    // Each stage does at most one unit of work; the flag is checked between them so that a
    // settings change or shutdown waits for one request at most.
    const std::function<void()> stages[] = {
        [&] { timed("Autosearch device_id", [&] { autosearchDeviceId(*data); }); },
        [&] { timed("Check actual fetching", [&] { fetchCheckActual(); }); },
        [&] { timed("Attributes sending", [&] { sendAttributes(*data); }); },
        [&] { timed("Telemetries sending", [&] { sendTelemetries(*data); }); },
        [&] { timed("single Alarm sending", [&] { sendAlarm(*data); }); },
        [&] {
            if (counts["recognition_count"] != 0) {
                timed("Recognition processing", [&] { sendNextRecognition(); });
            }
        },
        [&] {
            if (counts["alert_count"] != 0) timed("Alert processing", [&] { sendNextAlert(); });
        },
        [&] { timed("Tasks fetching", [&] { fetchTask(); }); },
        [&] { timed("Source block", [&] { runSourceBlock(*data); }); },
        [&] { timed("Telemetries sending", [&] { sendPing(); }); },
    };
    for (const auto& stage : stages) {
        if (!running_) return false;
        // A failing service is left alone until the backoff's wait is over, and a refused
        // token is renewed before anything else is sent.
        if (backoff_.failing() || check_connect() != 0) break;
        stage();
    }
    pause(loopLock, backoff_.takePause());
    return true;
}

std::shared_ptr<S3ClientProvider> MonitoringDriver::s3Provider() const {
    std::lock_guard lock(providersMutex_);
    return s3_.lock();
}

std::shared_ptr<DeviceDataProvider> MonitoringDriver::deviceDataProvider() const {
    std::lock_guard lock(providersMutex_);
    return deviceData_.lock();
}

REST::RawResponse MonitoringDriver::post(const std::string& part, const boost::json::value& body) {
    return client()->Post(fullPath(part), body);
}

void MonitoringDriver::autosearchDeviceId(DeviceDataProvider& data) {
    if (!getMonitoringSettings().deviceId.empty() || autosearchTried_) return;
    autosearchTried_ = true;
    const std::string serial = data.get_serial_number();
    if (serial.empty()) return;
    const auto [code, response] = get_device_list(
        {{"serial_number", serial}, {"model", kDeviceModel}, {"type", kDeviceType}});
    if (code != 0) return;
    schedulerPing_.slide();
    const auto found = parseSingleDeviceId(response.body);
    if (!found) return;
    const std::string& id = *found;
    {
        std::lock_guard lock(settingsMutex_);
        settings_.deviceId = id;
    }
    std::lock_guard lock(dbMutex_);
    config_["korvane_monitoring_device_id"] = id;
    Utils::Queries::upsertConfig(session_, "korvane_monitoring_device_id", "string", id);
    Log()->info("Device id found by serial number: {};", id);
}

void MonitoringDriver::fetchCheckActual() {
    const auto flag = State::getInstance().get("need_check_actual");
    if (flag && !flag->convert<bool>()) return;
    if (!schedulerCheckActual_.shouldRunNow()) return;
    try {
        const auto response = client()->Get(fullPath("/state"));
        if (response.status != 200) {
            throw std::runtime_error("HTTP error status: " + std::to_string(response.status));
        }
        schedulerPing_.slide();
        if (response.body == "null") return;
        const SourceState state = parseSourceState(response.body);
        saveSourceMode(session_, dbMutex_, state.enabled, state.settings);
        if (state.settings)
            schedulerSource_.setInterval(state.settings->pollingIntervalSec * 1000LL);
        State::getInstance().need_check_actual(false);
    } catch (const std::exception& e) {
        notifyError(std::string("Check actual fetch error: ") + e.what());
    }
}

REST::RawResponse MonitoringDriver::deliver(const std::string& part, const boost::json::value& body,
                                            const char* failure) {
    // The kind is the path's last part, "/recognition" counted as "recognition".
    const std::string_view kind = std::string_view(part).substr(part.rfind('/') + 1);
    const auto response = countedExchange(Utils::Metrics::agentMetrics().monitoringDeliveries, kind,
                                          [&] { return post(part, body); });
    if (response.status != 200) {
        if (auto tail = failureLog_.admit(failure + std::to_string(response.status))) {
            Log()->error("{} {}{};", failure, response.body, *tail);
        }
        return response;
    }
    schedulerPing_.slide();
    return response;
}

bool MonitoringDriver::setAsideWhenRefusedForGood(RefusalStreak& streak, const char* kind, int id,
                                                  const REST::RawResponse& answer,
                                                  SetAside setAside) {
    if (!streak.setAsideAfter(id, answer.status)) return false;
    // The answer is kept for the operator; a service that answers with a whole page must not
    // fill the database or the log with it.
    const std::string kept = answer.body.substr(0, kKeptAnswerBytes);
    {
        std::lock_guard lock(dbMutex_);
        setAside(session_, id, answer.status, kept);
    }
    Log()->error(
        "{} {} set aside as a dead letter: the service refused it {} passes in a row, last with "
        "{} {};",
        kind, id, RefusalStreak::kPassesToSetAside, answer.status, kept);
    return true;
}

void MonitoringDriver::sendAttributes(DeviceDataProvider& data) {
    if (!data.need_sending_attributes()) return;
    const boost::json::array attributes = data.get_attributes();
    if (!attributes.empty() &&
        deliver("/attributes", attributes, "send_attribute failed:").status == 200) {
        data.attributes_send();
    }
}

void MonitoringDriver::sendTelemetries(DeviceDataProvider& data) {
    if (!data.need_sending_telemetries()) return;
    const boost::json::array telemetries = data.get_telemetries();
    if (!telemetries.empty() &&
        deliver("/telemetry", telemetries, "send_telemetries failed:").status == 200) {
        data.telemetries_send();
    }
}

void MonitoringDriver::sendAlarm(DeviceDataProvider& data) {
    if (!data.need_sending_alarms()) return;
    if (deliver("/alarm", data.get_alarm(), "send_alarm failed:").status == 200) {
        data.alarm_send();
    }
}

bool MonitoringDriver::imageStillExpected(const Utils::Queries::RecognitionQueueEntry& entry,
                                          const MonitoringSettings& settings) const {
    std::error_code error;
    if (std::filesystem::exists(recognitionImagePath(settings.dataFolderPath, entry.sid), error)) {
        return false;
    }
    const auto queuedAt = storedDateToTimePoint(entry.created_at);
    return queuedAt && std::chrono::system_clock::now() - *queuedAt < kImageGrace;
}

std::string MonitoringDriver::uploadRecognitionImage(
    const Utils::Queries::RecognitionQueueEntry& entry, const MonitoringSettings& settings) {
    const std::string path = recognitionImagePath(settings.dataFolderPath, entry.sid);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        Log()->warn("Local image not found: {};", path);
        return {};
    }
    const std::string key = recognitionImageKey(settings.deviceId, entry.sid);
    const auto s3 = s3Provider();
    if (!s3) {
        Log()->warn("Dependency object for send S3 destroyed;");
        return {};
    }
    std::string url;
    if (!s3->uploadFile(path, key, url, true)) {
        Log()->warn("Failed to load to S3 (after {} attempts), path: {};", kUploadAttempts, path);
        return {};
    }
    Log()->info("Uploaded image через S3ClientProvider, URL: {};", url);
    std::lock_guard lock(dbMutex_);
    Utils::Queries::updateImageUrl(session_, url, entry.id);
    return url;
}

void MonitoringDriver::sendNextRecognition() {
    std::optional<Utils::Queries::RecognitionQueueEntry> entry;
    std::vector<Utils::Queries::RecognitionValueEntry> values;
    {
        std::lock_guard lock(dbMutex_);
        entry = Utils::Queries::getNextRecognitionQueue(session_);
        if (!entry) return;
        values = Utils::Queries::getRecognitionValues(session_, entry->id);
    }
    const MonitoringSettings settings = getMonitoringSettings();
    std::string imageUrl = entry->image_url;
    if (settings.imageSendingEnabled && imageUrl.empty()) {
        // The feedback saves its image just after queueing the entry; a fresh entry whose
        // image is not there yet waits a pass or two rather than going out without it.
        if (imageStillExpected(*entry, settings)) return;
        imageUrl = uploadRecognitionImage(*entry, settings);
    }
    const auto answer = deliver("/recognition", recognitionMessage(*entry, values, imageUrl),
                                "send Recognition exception:");
    if (answer.status != 200) {
        setAsideWhenRefusedForGood(recognitionRefusals_, "Recognition", entry->id, answer,
                                   &Utils::Queries::setRecognitionAside);
        return;
    }
    std::lock_guard lock(dbMutex_);
    Utils::Queries::deleteFromRecognitionQueue(session_, entry->id);
    Log()->info("loop(): deleted recognition from queue with id: {};", entry->id);
}

void MonitoringDriver::sendNextAlert() {
    std::optional<Utils::Queries::AlertQueueEntry> entry;
    {
        std::lock_guard lock(dbMutex_);
        entry = Utils::Queries::getNextAlertQueue(session_);
    }
    if (!entry) return;
    const auto answer = deliver("/alert", alertMessage(*entry), "send alert failed:");
    if (answer.status != 200) {
        setAsideWhenRefusedForGood(alertRefusals_, "Alert", entry->id, answer,
                                   &Utils::Queries::setAlertAside);
        return;
    }
    std::lock_guard lock(dbMutex_);
    Utils::Queries::deleteFromAlertQueue(session_, entry->id);
    Log()->info("loop(): deleted alert from queue with id: {};", entry->id);
}

void MonitoringDriver::fetchTask() {
    if (!getMonitoringSettings().gettingTasks || !schedulerTusk_.shouldRunNow()) return;
    try {
        const auto response = client()->Get(fullPath("/task"));
        if (response.status == 204) {
            schedulerPing_.slide();
            Log()->info("No tasks available;");
            return;
        }
        if (response.status != 200) {
            throw std::runtime_error("HTTP error status: " + std::to_string(response.status));
        }
        schedulerPing_.slide();
        if (response.body == "null") return;
        Utils::Models::Task task = parseTask(response.body);
        Log()->info("Received task: id={} type={};", task.id, task.type);
        executeTaskHandler(task);
    } catch (const std::exception& e) {
        notifyError(std::string("Task fetch error: ") + e.what());
    }
}

void MonitoringDriver::runSourceBlock(DeviceDataProvider& data) {
    State& state = State::getInstance();
    if (!state.sm_enabled() || !schedulerSource_.shouldRunNow()) return;
    const auto [code, items] = data.get_product_templates();
    if (code != 0) return;
    std::vector<std::string> ids;
    std::vector<Utils::Queries::ProductCount> counts;
    for (const auto& item : items) {
        ids.push_back(item.id);
        counts.push_back({item.id, item.count});
    }
    std::vector<std::string> ready;
    {
        std::lock_guard lock(dbMutex_);
        Poco::Data::Transaction transaction(session_);
        Utils::Queries::deleteProducts(session_, ids);
        Utils::Queries::upsertProducts(session_, counts);
        transaction.commit();
        ready = Utils::Queries::updateProductStatusReady(session_, state.sm_template_threshold());
    }
    const auto tasks = taskHandlerProvider();
    if (ready.empty() || !tasks) return;
    std::string url;
    try {
        url = tasks->getAndSendRecognitionBackupFile(ready);
    } catch (const std::exception& e) {
        Log()->error("SendRecognitionBackupFile and autodistribution exception: {};", e.what());
        return;
    }
    try {
        const auto response = post("/recognition_models/autodistribution",
                                   boost::json::object{{"exportType", "s3"}, {"url", url}});
        if (response.status == 200) {
            schedulerPing_.slide();
            std::lock_guard lock(dbMutex_);
            Utils::Queries::updateProductStatusSent(session_, ready);
            return;
        }
        Log()->error("send autodistribution failed: {};", response.body);
        if (response.status == 404 && isErrorCode(response.body, "DATA_SOURCE_NOT_FOUND")) {
            State::getInstance().need_check_actual(true);
            schedulerCheckActual_.reset();
        }
    } catch (const std::exception& e) {
        Log()->error("send autodistribution exception: {};", e.what());
    }
}

void MonitoringDriver::sendPing() {
    if (!schedulerPing_.shouldRunNow()) return;
    const auto response = post(
        "/telemetry", boost::json::array{boost::json::object{{"key", "ping"}, {"value", true}}});
    if (response.status == 200) return;
    if (auto tail = failureLog_.admit("ping " + std::to_string(response.status))) {
        Log()->error("send_ping failed: {}{};", response.body, *tail);
    }
}

bool MonitoringDriver::isErrorCode(const std::string& body, const char* code) {
    if (body.empty() || body == "null") return false;
    boost::system::error_code error;
    const auto parsed = boost::json::parse(body, error);
    if (error || !parsed.is_object()) return false;
    const auto* member = parsed.get_object().if_contains("code");
    return member != nullptr && member->is_string() && member->get_string() == code;
}

}  // namespace korvane::Engine::Sync
