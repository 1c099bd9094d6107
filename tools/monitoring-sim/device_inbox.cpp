#include "device_inbox.h"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include "message_checks.h"

namespace korvane::MonitoringSim {
namespace {

using Checker = std::string (*)(const boost::json::value&);

Checker checkerOf(const std::string& route) {
    if (route == Routes::kAttributes) return checkAttributes;
    if (route == Routes::kTelemetry) return checkTelemetry;
    if (route == Routes::kAlarm) return checkAlarm;
    if (route == Routes::kRecognition) return checkRecognition;
    if (route == Routes::kAlert) return checkAlert;
    if (route == Routes::kAutodistribution) return checkAutodistribution;
    return nullptr;
}

}  // namespace

DeviceInbox::DeviceInbox(DeviceDirectory& directory) : directory_(directory) {}

bool DeviceInbox::isDeviceRoute(const std::string& route) {
    return route == Routes::kState || route == Routes::kTask || !actionOf(route).empty() ||
           checkerOf(route) != nullptr;
}

std::optional<DeviceInbox::Channel> DeviceInbox::channelOf(const std::string& route) {
    if (route == Routes::kAttributes) return Channel::Attributes;
    if (route == Routes::kTelemetry) return Channel::Telemetry;
    if (route == Routes::kAlarm) return Channel::Alarm;
    if (route == Routes::kRecognition) return Channel::Recognition;
    if (route == Routes::kAlert) return Channel::Alert;
    if (route == Routes::kAutodistribution) return Channel::Autodistribution;
    return std::nullopt;
}

std::string DeviceInbox::actionOf(const std::string& route) {
    if (route == Routes::kTaskConfirm) return "confirm";
    if (route == Routes::kTaskError) return "error";
    if (route == Routes::kTaskReject) return "reject";
    return {};
}

DeviceInbox::Inspection DeviceInbox::inspect(const Exchange& exchange,
                                             const RouteMatch& match) const {
    Inspection inspection;
    const std::string action = actionOf(match.pattern);
    const Checker checker = checkerOf(match.pattern);
    if (exchange.method != "POST" || (action.empty() && !checker)) return inspection;
    inspection.checked = true;
    if (!exchange.hasJsonBody()) {
        inspection.refusal =
            errorReply(415, "UNSUPPORTED_MEDIA_TYPE", "Content-Type must be application/json");
        return inspection;
    }
    boost::system::error_code error;
    inspection.body = boost::json::parse(exchange.body, error);
    std::string fault = error     ? "body is not JSON: " + error.message()
                        : checker ? checker(inspection.body)
                                  : checkTaskAnswer(action, inspection.body);
    if (!fault.empty()) inspection.refusal = errorReply(400, "BAD_REQUEST", fault);
    return inspection;
}

void DeviceInbox::record(const RouteMatch& match, const Inspection& inspection, int status) {
    std::lock_guard lock(mutex_);
    if (const auto channel = channelOf(match.pattern)) {
        messages_[*channel].push_back(DeviceMessage{match.deviceId, inspection.body, status});
        return;
    }
    answers_.push_back(
        TaskAnswer{match.deviceId, match.taskId, actionOf(match.pattern), inspection.body, status});
}

Reply DeviceInbox::answerTask(const RouteMatch& match) {
    std::lock_guard lock(mutex_);
    const auto found = handedOut_.find(match.taskId);
    Reply reply;
    if (found == handedOut_.end()) {
        reply = errorReply(404, "TASK_NOT_FOUND", "Task " + match.taskId + " was not handed out");
    } else if (found->second) {
        reply = errorReply(422, "SERVER_TASK_INVALID_STATUS",
                           "Task " + match.taskId + " was already answered");
    } else {
        found->second = true;
        reply = jsonReply(200, boost::json::object{});
    }
    return reply;
}

Reply DeviceInbox::answer(const Exchange& exchange, const RouteMatch& match,
                          const Inspection& inspection) {
    const std::string& route = match.pattern;
    if (inspection.checked) {
        Reply reply =
            actionOf(route).empty() ? jsonReply(200, boost::json::object{}) : answerTask(match);
        record(match, inspection, reply.status);
        if (route == Routes::kAttributes) {
            directory_.mergeAttributes(match.deviceId, inspection.body.get_array());
        }
        return reply;
    }
    if (exchange.method != "GET" || (route != Routes::kState && route != Routes::kTask)) {
        return errorReply(405, "METHOD_NOT_ALLOWED", "Method not allowed on this route");
    }
    std::lock_guard lock(mutex_);
    if (route == Routes::kState) return Reply{200, stateAnswer_, "application/json"};
    if (tasks_.empty()) return emptyReply(204);
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    handedOut_[task.id] = false;
    return jsonReply(
        200, boost::json::object{{"id", task.id}, {"type", task.type}, {"data", task.data}});
}

void DeviceInbox::noteScripted(const Exchange& exchange, const RouteMatch& match,
                               const Inspection& inspection, const Reply* reply) {
    if (inspection.checked) {
        record(match, inspection, reply ? reply->status : 0);
        return;
    }
    // A task handed out by a script may be answered like a queued one.
    if (!reply || reply->status != 200 || match.pattern != Routes::kTask ||
        exchange.method != "GET") {
        return;
    }
    boost::system::error_code error;
    const boost::json::value task = boost::json::parse(reply->body, error);
    if (error || !task.is_object()) return;
    const boost::json::value* id = task.get_object().if_contains("id");
    if (!id || !id->is_string()) return;
    std::lock_guard lock(mutex_);
    handedOut_.emplace(std::string(id->get_string()), false);
}

std::string DeviceInbox::queueTask(Task task) {
    std::lock_guard lock(mutex_);
    if (task.id.empty()) task.id = "task-" + std::to_string(++lastTaskId_);
    tasks_.push_back(std::move(task));
    return tasks_.back().id;
}

std::size_t DeviceInbox::pendingTasks() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

void DeviceInbox::setStateAnswer(const std::string& jsonText) {
    std::lock_guard lock(mutex_);
    stateAnswer_ = jsonText;
}

std::vector<DeviceInbox::DeviceMessage> DeviceInbox::messages(Channel channel) const {
    std::lock_guard lock(mutex_);
    const auto found = messages_.find(channel);
    return found == messages_.end() ? std::vector<DeviceMessage>() : found->second;
}

std::vector<DeviceInbox::TaskAnswer> DeviceInbox::taskAnswers() const {
    std::lock_guard lock(mutex_);
    return answers_;
}

void DeviceInbox::clearRecords() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    answers_.clear();
}

void DeviceInbox::reset() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    answers_.clear();
    tasks_.clear();
    handedOut_.clear();
    stateAnswer_ = "null";
    lastTaskId_ = 0;
}

}  // namespace korvane::MonitoringSim
