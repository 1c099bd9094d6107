#pragma once
// The envelopes the camera command handlers answer with, built from the camera's code: a
// payload only on success, the change notice only once the camera accepted a setting. Used by
// the camera_handlers_*.cpp files; stateless, safe from any thread.

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "camera_handlers.h"
#include "responses.h"

namespace korvane::Utils {

// An object of the given members: jsonObject({{"sec", 1}, {"usec", 2}}).
Poco::JSON::Object::Ptr jsonObject(
    std::initializer_list<std::pair<std::string, Poco::Dynamic::Var>> members);

// {"code":0,"data":build()} for code 0, {"code":code,"data":null} otherwise; build runs only on
// success, when the camera's answer is there to read.
template <class Build>
Poco::JSON::Object::Ptr answer(int code, Build&& build) {
    if (code != 0) {
        return get_empty_response(code);
    }
    return make_response(0, Poco::Dynamic::Var(build()));
}

// The same for a query's code and record; build takes the record.
template <class T, class Build>
Poco::JSON::Object::Ptr answer(const std::pair<int, T>& result, Build&& build) {
    return answer(result.first, [&] { return build(result.second); });
}

// {"code":0,"msg":msg,"status":status} for code 0, {"code":code,"data":null} otherwise.
Poco::JSON::Object::Ptr statusAnswer(int code, const std::string& msg, int status);

// {"code":code,"data":null}; for code 0 runs onChanged first. `command` names the setting in
// the log line when onChanged throws, which is logged and dropped.
Poco::JSON::Object::Ptr settingAnswer(const char* command, int code, const ChangeNotice& onChanged);

}  // namespace korvane::Utils
