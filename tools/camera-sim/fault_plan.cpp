#include "fault_plan.h"

#include <Poco/JSON/Array.h>

#include <algorithm>
#include <sstream>

namespace korvane::CameraSim {
namespace {

// The same value with the JSON type a careless camera firmware might use instead.
Poco::Dynamic::Var swapType(const Poco::Dynamic::Var& value) {
    if (value.isEmpty()) return std::string("null");
    if (value.isString()) return 12345;
    if (value.isBoolean()) return value.extract<bool>() ? "true" : "false";
    if (value.isNumeric()) return value.toString();
    return toJsonText(value);
}

void mistype(SimReply& reply) {
    if (!reply.json) {
        // A picture or file turned into a JSON answer whose code is text.
        Poco::JSON::Object::Ptr object = newObject();
        object->set("code", "0");
        reply = jsonReply(reply.status, object);
        return;
    }
    Poco::JSON::Object::Ptr object = reply.json;
    const Poco::Dynamic::Var data =
        object->has("data") ? object->get("data") : Poco::Dynamic::Var();
    if (data.type() == typeid(Poco::JSON::Object::Ptr)) {
        const auto original = data.extract<Poco::JSON::Object::Ptr>();
        Poco::JSON::Object::Ptr swapped = newObject();
        for (const auto& name : original->getNames())
            swapped->set(name, swapType(original->get(name)));
        object->set("data", swapped);
    } else if (!data.isEmpty()) {
        object->set("data", "mistyped");
    } else if (object->has("status")) {
        object->set("status", object->get("status").toString());
    } else {
        object->set("code", object->get("code").toString());
    }
}

void truncate(SimReply& reply) {
    const std::string text = serializeReply(reply);
    reply.json = nullptr;
    reply.body = text.substr(0, text.size() / 2);
}

int intMember(const Poco::JSON::Object::Ptr& body, const char* key, int low, int high) {
    return static_cast<int>(needIntIn(body, key, low, high));
}

}  // namespace

FaultRule FaultPlan::parse(const Poco::JSON::Object::Ptr& body) {
    FaultRule rule;
    rule.command = needString(body, "command");
    if (rule.command.empty()) throw CommandError(kParameterError, "\"command\" is empty");
    if (body->has("delay_ms")) rule.delayMs = intMember(body, "delay_ms", 0, 600000);
    if (body->has("error_code")) rule.errorCode = static_cast<int>(needInt(body, "error_code"));
    if (body->has("http_status")) rule.httpStatus = intMember(body, "http_status", 100, 599);
    if (body->has("malformed")) rule.malformed = needBool(body, "malformed");
    if (body->has("mistyped")) rule.mistyped = needBool(body, "mistyped");
    if (body->has("drop")) rule.drop = needBool(body, "drop");
    if (body->has("once") && needBool(body, "once")) rule.remaining = 1;
    if (body->has("count")) rule.remaining = intMember(body, "count", 1, 1000000);
    return rule;
}

void FaultPlan::distort(const FaultRule& rule, SimReply& reply) {
    if (rule.mistyped) mistype(reply);
    if (rule.malformed) truncate(reply);
}

std::string FaultPlan::describe(const FaultRule& rule) {
    std::ostringstream out;
    if (rule.delayMs > 0) out << "delay_ms=" << rule.delayMs << ' ';
    if (rule.errorCode) out << "error_code=" << *rule.errorCode << ' ';
    if (rule.httpStatus) out << "http_status=" << *rule.httpStatus << ' ';
    if (rule.malformed) out << "malformed ";
    if (rule.mistyped) out << "mistyped ";
    if (rule.drop) out << "drop ";
    std::string text = out.str();
    if (!text.empty()) text.pop_back();
    return text;
}

void FaultPlan::add(FaultRule rule) {
    std::lock_guard lock(mutex_);
    std::erase_if(rules_, [&rule](const FaultRule& r) { return r.command == rule.command; });
    rules_.push_back(std::move(rule));
}

void FaultPlan::clear(const std::string& command) {
    std::lock_guard lock(mutex_);
    if (command.empty()) {
        rules_.clear();
    } else {
        std::erase_if(rules_, [&command](const FaultRule& r) { return r.command == command; });
    }
}

std::optional<FaultRule> FaultPlan::take(const std::string& command) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(rules_.begin(), rules_.end(),
                              [&command](const FaultRule& r) { return r.command == command; });
    if (found == rules_.end()) {
        found = std::find_if(rules_.begin(), rules_.end(),
                             [](const FaultRule& r) { return r.command == "*"; });
    }
    if (found == rules_.end()) return std::nullopt;
    FaultRule rule = *found;
    if (found->remaining > 0 && --found->remaining == 0) rules_.erase(found);
    return rule;
}

void FaultPlan::goDown(std::chrono::milliseconds length) {
    std::lock_guard lock(mutex_);
    downUntil_ = std::chrono::steady_clock::now() + length;
}

void FaultPlan::comeUp() {
    std::lock_guard lock(mutex_);
    downUntil_ = {};
}

bool FaultPlan::isDown() const {
    std::lock_guard lock(mutex_);
    return std::chrono::steady_clock::now() < downUntil_;
}

void FaultPlan::pause(int ms) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void FaultPlan::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

Poco::JSON::Object::Ptr FaultPlan::snapshot() const {
    std::lock_guard lock(mutex_);
    Poco::JSON::Object::Ptr object = newObject();
    Poco::JSON::Array::Ptr rules = new Poco::JSON::Array;
    for (const auto& rule : rules_) {
        Poco::JSON::Object::Ptr entry = newObject();
        entry->set("command", rule.command);
        entry->set("fault", describe(rule));
        entry->set("remaining", rule.remaining);
        rules->add(entry);
    }
    object->set("rules", rules);
    const auto now = std::chrono::steady_clock::now();
    object->set(
        "down_ms_left",
        now < downUntil_
            ? std::chrono::duration_cast<std::chrono::milliseconds>(downUntil_ - now).count()
            : 0);
    return object;
}

}  // namespace korvane::CameraSim
