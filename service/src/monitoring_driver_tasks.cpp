// MonitoringDriver's remote task protocol: the table from task type to handler, the dispatch
// of one task with its failure classification, and the confirm, error and reject answers.
#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include "camera_errors.h"
#include "logger.h"
#include "models_task.h"
#include "monitoring_driver.h"
#include "state.h"
#include "task_handler_provider.h"

namespace korvane::Engine::Sync {

namespace {

using Handler = void (TaskHandlerProvider::*)(Utils::Models::Task&);

struct TaskType {
    const char* type;
    Handler handler;
};

const TaskType kTaskTypes[] = {
    {"download_log_file", &TaskHandlerProvider::handleDownloadLogFile},
    {"download_config_file", &TaskHandlerProvider::handleDownloadConfigFile},
    {"upload_config_file", &TaskHandlerProvider::handleUploadConfigFile},
    {"upload_update_file", &TaskHandlerProvider::handleUploadUpdateFile},
    {"download_recognition_backup_file", &TaskHandlerProvider::handleDownloadRecognitionBackupFile},
    {"upload_recognition_backup_file", &TaskHandlerProvider::handleUploadRecognitionBackupFile},
    {"exec_command", &TaskHandlerProvider::handleHardware},
    {"set_source_mode", &TaskHandlerProvider::handleSetSourceMode},
};

}  // namespace

std::shared_ptr<TaskHandlerProvider> MonitoringDriver::taskHandlerProvider() const {
    std::lock_guard lock(providersMutex_);
    return tasks_.lock();
}

void MonitoringDriver::registerTaskHandler(const std::string& type, TaskHandler handler) {
    std::lock_guard lock(callbackMutex_);
    taskHandlers_[type] = std::move(handler);
}

void MonitoringDriver::initTaskHandlers() {
    for (const auto& entry : kTaskTypes) {
        const std::string type = entry.type;
        const Handler handler = entry.handler;
        registerTaskHandler(type, [this, type, handler](Utils::Models::Task& task) {
            const auto provider = taskHandlerProvider();
            if (!provider) {
                if (type != "download_log_file") {
                    Log()->error("task_handler_provider_ expired, can't execute handler");
                }
                return;
            }
            ((*provider).*handler)(task);
        });
    }
}

void MonitoringDriver::executeTaskHandler(Utils::Models::Task& task) {
    std::lock_guard lock(callbackMutex_);
    const auto found = taskHandlers_.find(task.type);
    if (found == taskHandlers_.end()) {
        rejectTask(task, "Неизвестная задача: " + task.type);
        return;
    }
    const auto logResult = [&task] {
        Log()->warn("serialized json error:{};", boost::json::serialize(task.result));
    };
    try {
        found->second(task);
        confirmTask(task);
        if (task.type == "upload_config_file" && reinit_) reinit_();
        if (task.type == "set_source_mode") {
            const int interval = State::getInstance().sm_polling_interval();
            schedulerSource_.setInterval(static_cast<long long>(interval) * 1000);
            schedulerSource_.reset();
        }
    } catch (const Utils::Errors::HardwareException& e) {
        Log()->error("Task={} with id={} failed with driver error: {}, description: {}", task.type,
                     task.id, e.code(), e.what());
        logResult();
        if (e.code() == "UNKNOWN_HARDWARE_COMMAND") {
            rejectTask(task, "Неизвестная команда: " + task.type);
        } else {
            reportError(task, e.what(), e.code(), boost::json::serialize(task.result));
        }
    } catch (const boost::system::system_error& e) {
        Log()->error("Task={} with id={} failed with boost exception: {};", task.type, task.id,
                     e.what());
        logResult();
        reportError(task, e.what(), "Системная ошибка", boost::json::serialize(task.result));
    } catch (const std::exception& e) {
        Log()->error("Task={} with id={} failed with std exception: {};", task.type, task.id,
                     e.what());
        logResult();
        reportError(task, e.what(), "Обработанное исключение", boost::json::serialize(task.result));
    }
}

REST::RawResponse MonitoringDriver::postTaskAnswer(const Utils::Models::Task& task,
                                                   const char* action,
                                                   const boost::json::value& body) {
    // The id comes from the service: one encoded path segment, whatever it holds.
    return client()->Post(fullPath("/tasks", REST::encodePathSegment(task.id), action), body);
}

void MonitoringDriver::confirmTask(const Utils::Models::Task& task) {
    const auto response = postTaskAnswer(task, "confirm", task.result);
    if (response.status == 200) return;
    Log()->error("Failed to confirm task {}: {}", task.id, response.body);
    // The service refused to switch the source mode now: fetch its current settings instead.
    if (task.type == "set_source_mode" && response.status == 422 &&
        isErrorCode(response.body, "SERVER_TASK_INVALID_STATUS")) {
        State::getInstance().need_check_actual(true);
        schedulerCheckActual_.reset();
    }
}

void MonitoringDriver::reportError(const Utils::Models::Task& task, const std::string& description,
                                   const std::string& error, const std::string& value) {
    boost::json::object body{{"error", error}, {"description", description}};
    if (value != "{}") body["value"] = value;
    const auto response = postTaskAnswer(task, "error", body);
    if (response.status != 200) {
        Log()->error("Failed to report error task {}: {} and task error message: {}", task.id,
                     response.body, description);
    }
}

void MonitoringDriver::rejectTask(const Utils::Models::Task& task, const std::string& reason) {
    const auto response =
        postTaskAnswer(task, "reject", boost::json::object{{"description", reason}});
    if (response.status != 200) {
        Log()->error("Failed to reject task {}: {} and task reject reason: {}", task.id,
                     response.body, reason);
    }
}

}  // namespace korvane::Engine::Sync
