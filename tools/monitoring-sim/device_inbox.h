// The device-scoped routes: what a device posts (attributes, telemetry, alarms, recognitions,
// alerts, autodistribution requests), the task queue it polls with its task answers, and the
// check-actual answer. Owned by the simulator; every member may be called from any thread.
#pragma once

#include <boost/json/value.hpp>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device_directory.h"
#include "exchange.h"
#include "monitoring_simulator.h"
#include "route_match.h"

namespace korvane::MonitoringSim {

class DeviceInbox {
  public:
    using DeviceMessage = MonitoringSimulator::DeviceMessage;
    using TaskAnswer = MonitoringSimulator::TaskAnswer;
    using Task = MonitoringSimulator::Task;

    enum class Channel { Attributes, Telemetry, Alarm, Recognition, Alert, Autodistribution };

    // What arrives on a route whose body is checked before anything else happens to it.
    struct Inspection {
        bool checked = false;          // the route carries a checked body
        std::optional<Reply> refusal;  // the body is malformed: answer this
        boost::json::value body;       // the parsed body when it is well-formed
    };

    explicit DeviceInbox(DeviceDirectory& directory);

    static bool isDeviceRoute(const std::string& route);
    Inspection inspect(const Exchange& exchange, const RouteMatch& match) const;
    // The service's own answer to a device-scoped request; records what it received.
    Reply answer(const Exchange& exchange, const RouteMatch& match, const Inspection& inspection);
    // Records what arrived when a scripted answer (status 0: dropped) took the place of answer().
    void noteScripted(const Exchange& exchange, const RouteMatch& match,
                      const Inspection& inspection, const Reply* reply);

    std::string queueTask(Task task);
    std::size_t pendingTasks() const;
    void setStateAnswer(const std::string& jsonText);

    std::vector<DeviceMessage> messages(Channel channel) const;
    std::vector<TaskAnswer> taskAnswers() const;
    void clearRecords();
    void reset();

  private:
    static std::optional<Channel> channelOf(const std::string& route);
    static std::string actionOf(const std::string& route);
    void record(const RouteMatch& match, const Inspection& inspection, int status);
    Reply answerTask(const RouteMatch& match);

    DeviceDirectory& directory_;
    mutable std::mutex mutex_;
    std::map<Channel, std::vector<DeviceMessage>> messages_;
    std::vector<TaskAnswer> answers_;
    std::deque<Task> tasks_;
    std::map<std::string, bool> handedOut_;  // task id -> answered
    std::string stateAnswer_ = "null";
    unsigned lastTaskId_ = 0;
};

}  // namespace korvane::MonitoringSim
