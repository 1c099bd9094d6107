// The faults a test has scripted: per-command rules (delay, camera error code, HTTP status,
// broken or mistyped JSON, dropped connection) and a window in which the camera is down.
// Owned by CameraSimulator; request threads and the control API use it concurrently, guarded
// by its own mutex.
#pragma once

#include <Poco/JSON/Object.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim_message.h"

namespace korvane::CameraSim {

struct FaultRule {
    std::string command;  // a camera command name, "download", or "*" for every request
    int delayMs = 0;
    std::optional<int> errorCode;   // answer 200 {"code": errorCode}
    std::optional<int> httpStatus;  // answer with this HTTP status
    bool malformed = false;         // cut the answer in half
    bool mistyped = false;          // give the answer's members the wrong JSON types
    bool drop = false;              // close the connection without an answer
    int remaining = -1;             // requests left before the rule expires; -1: until cleared
};

class FaultPlan {
  public:
    // Reads a rule from the control API's JSON; throws CommandError on a bad member.
    static FaultRule parse(const Poco::JSON::Object::Ptr& body);
    // Alters a reply as the rule's malformed / mistyped flags say.
    static void distort(const FaultRule& rule, SimReply& reply);
    // Short text for the request log ("delay_ms=500 error_code=-6101").
    static std::string describe(const FaultRule& rule);

    // Adds a rule, replacing one for the same command.
    void add(FaultRule rule);
    // Drops the rule for `command`, or every rule when `command` is empty.
    void clear(const std::string& command);
    // The rule that applies to one request of `command` (a specific rule before "*"),
    // counting down rules with a limited number of uses.
    std::optional<FaultRule> take(const std::string& command);

    void goDown(std::chrono::milliseconds length);
    void comeUp();
    bool isDown() const;

    // Sleeps `ms` milliseconds, or less when shutdown() is called meanwhile.
    void pause(int ms);
    void shutdown();

    Poco::JSON::Object::Ptr snapshot() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<FaultRule> rules_;
    std::chrono::steady_clock::time_point downUntil_{};
    bool stopping_ = false;
};

}  // namespace korvane::CameraSim
