#include "control_api.h"

#include <Poco/JSON/Array.h>
#include <Poco/NumberParser.h>

#include <utility>

namespace korvane::CameraSim {
namespace {

SimReply done(Poco::JSON::Object::Ptr extra = nullptr) {
    Poco::JSON::Object::Ptr object = extra ? extra : newObject();
    object->set("ok", true);
    return jsonReply(200, object);
}

SimReply refused(int status, const std::string& message) {
    Poco::JSON::Object::Ptr object = newObject();
    object->set("ok", false);
    object->set("error", message);
    return jsonReply(status, object);
}

// An optional body: empty or null means {}.
Poco::JSON::Object::Ptr optionalBody(const SimRequest& request) {
    if (request.body.find_first_not_of(" \t\r\n") == std::string::npos || request.body == "null") {
        return newObject();
    }
    return bodyObject(request);
}

std::optional<JobKind> jobKindNamed(const std::string& name) {
    for (JobKind kind : {JobKind::Export, JobKind::Import, JobKind::Upgrade, JobKind::Restore}) {
        if (name == CameraState::jobName(kind)) return kind;
    }
    return std::nullopt;
}

std::optional<std::vector<Candidate>> readFixedResult(const Poco::JSON::Object::Ptr& body) {
    if (body->isNull("fixed_result")) return std::nullopt;
    Poco::JSON::Array::Ptr array = body->getArray("fixed_result");
    if (!array) throw CommandError(kParameterError, "\"fixed_result\" must be an array or null");
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < array->size(); ++i) {
        Poco::JSON::Object::Ptr item = array->getObject(static_cast<unsigned>(i));
        if (!item || !item->has("score") || !item->get("score").isNumeric()) {
            throw CommandError(
                kParameterError,
                "\"fixed_result\" items need a string \"id\" and a numeric \"score\"");
        }
        candidates.push_back({needString(item, "id"), item->getValue<double>("score")});
    }
    return candidates;
}

}  // namespace

ControlApi::ControlApi(CameraState& state, FaultPlan& faults, RequestLog& log,
                       std::function<void(std::chrono::milliseconds)> refuseFor)
    : state_(state), faults_(faults), log_(log), refuseFor_(std::move(refuseFor)) {}

SimReply ControlApi::handle(const SimRequest& request) {
    using Route = SimReply (ControlApi::*)(const SimRequest&);
    struct Entry {
        const char* method;
        const char* path;
        Route route;
    };
    static constexpr Entry kRoutes[] = {
        {"POST", "/sim/fault", &ControlApi::addFault},
        {"POST", "/sim/fault/clear", &ControlApi::clearFaults},
        {"DELETE", "/sim/fault", &ControlApi::clearFaults},
        {"POST", "/sim/reset", &ControlApi::reset},
        {"POST", "/sim/down", &ControlApi::down},
        {"POST", "/sim/up", &ControlApi::up},
        {"GET", "/sim/requests", &ControlApi::requests},
        {"DELETE", "/sim/requests", &ControlApi::clearRequests},
        {"POST", "/sim/requests/clear", &ControlApi::clearRequests},
        {"GET", "/sim/state", &ControlApi::state},
        {"GET", "/sim/config", &ControlApi::getConfig},
        {"POST", "/sim/config", &ControlApi::setConfig},
    };
    bool pathKnown = false;
    for (const auto& entry : kRoutes) {
        if (request.path != entry.path) continue;
        pathKnown = true;
        if (request.method != entry.method) continue;
        try {
            return (this->*entry.route)(request);
        } catch (const CommandError& e) {
            return refused(400, e.what());
        }
    }
    return pathKnown ? refused(405, "method not allowed") : refused(404, "unknown control path");
}

SimReply ControlApi::addFault(const SimRequest& request) {
    faults_.add(FaultPlan::parse(bodyObject(request)));
    return done(faults_.snapshot());
}

SimReply ControlApi::clearFaults(const SimRequest& request) {
    std::string command = queryParam(request.query, "command");
    const auto body = optionalBody(request);
    if (body->has("command")) command = needString(body, "command");
    faults_.clear(command);
    return done(faults_.snapshot());
}

SimReply ControlApi::reset(const SimRequest&) {
    state_.reset();
    faults_.clear("");
    faults_.comeUp();
    log_.clear();
    return done();
}

SimReply ControlApi::down(const SimRequest& request) {
    const auto body = optionalBody(request);
    std::int64_t ms = 0;
    if (body->has("ms")) {
        ms = needIntIn(body, "ms", 0, 3600000);
    } else if (body->has("seconds") && body->get("seconds").isNumeric()) {
        ms = static_cast<std::int64_t>(body->getValue<double>("seconds") * 1000.0);
    } else {
        throw CommandError(kParameterError, "\"seconds\" or \"ms\" is required");
    }
    if (ms < 0 || ms > 3600000) throw CommandError(kParameterError, "down time out of range");
    const std::string mode = body->has("mode") ? needString(body, "mode") : "close";
    if (mode == "close") {
        faults_.goDown(std::chrono::milliseconds(ms));
    } else if (mode == "refuse") {
        refuseFor_(std::chrono::milliseconds(ms));
    } else {
        throw CommandError(kParameterError, "\"mode\" must be \"close\" or \"refuse\"");
    }
    return done();
}

SimReply ControlApi::up(const SimRequest&) {
    faults_.comeUp();
    return done();
}

SimReply ControlApi::requests(const SimRequest& request) {
    std::size_t limit = 100;
    const std::string limitText = queryParam(request.query, "limit");
    unsigned parsed = 0;
    if (!limitText.empty() && Poco::NumberParser::tryParseUnsigned(limitText, parsed)) {
        limit = parsed;
    }
    return bytesReply(log_.list(limit, queryParam(request.query, "command")), kJsonContentType);
}

SimReply ControlApi::clearRequests(const SimRequest&) {
    log_.clear();
    return done();
}

SimReply ControlApi::state(const SimRequest&) {
    Poco::JSON::Object::Ptr object = newObject();
    object->set("device", state_.snapshot());
    object->set("faults", faults_.snapshot());
    return done(object);
}

SimReply ControlApi::getConfig(const SimRequest&) {
    Poco::JSON::Object::Ptr snapshot = state_.snapshot();
    return done(snapshot->getObject("sim"));
}

SimReply ControlApi::setConfig(const SimRequest& request) {
    const auto body = bodyObject(request);
    std::optional<int> stepMs, rebootMs, maxTemplates;
    if (body->has("job_step_ms"))
        stepMs = static_cast<int>(needIntIn(body, "job_step_ms", 1, 600000));
    if (body->has("reboot_down_ms")) {
        rebootMs = static_cast<int>(needIntIn(body, "reboot_down_ms", 0, 600000));
    }
    if (body->has("max_templates")) {
        maxTemplates = static_cast<int>(needIntIn(body, "max_templates", 1, 1000));
    }
    std::map<JobKind, int> failNext;
    if (body->has("fail_next_job")) {
        Poco::JSON::Object::Ptr jobs = body->getObject("fail_next_job");
        if (!jobs) throw CommandError(kParameterError, "\"fail_next_job\" must be an object");
        for (const auto& name : jobs->getNames()) {
            const auto kind = jobKindNamed(name);
            if (!kind) throw CommandError(kParameterError, "unknown job kind " + name);
            failNext[*kind] = static_cast<int>(needIntIn(jobs, name, 1, 255));
        }
    }
    const bool setFixed = body->has("fixed_result");
    const auto fixed = setFixed ? readFixedResult(body) : std::nullopt;
    state_.with([&](DeviceData& d) {
        if (stepMs) d.sim.jobStepMs = *stepMs;
        if (rebootMs) d.sim.rebootDownMs = *rebootMs;
        if (maxTemplates) d.maxTemplates = *maxTemplates;
        for (const auto& [kind, status] : failNext) d.sim.failNext[kind] = status;
        if (setFixed) d.sim.fixedResult = fixed;
    });
    return getConfig(request);
}

}  // namespace korvane::CameraSim
