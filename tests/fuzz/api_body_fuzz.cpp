// libFuzzer target for the JSON bodies of the recognition, feedback, statistics and agent
// commands, sent through the whole request path of an in-process Server with a throw-away
// database and no camera. The first input byte picks the command, the rest is its body.
// Whatever the body, the answer is the envelope with HTTP 200, or 400 with code -6200 for bad
// input; a 500 would mean a malformed body escaped as an internal failure. A configuration
// that set_config accepted must read back through get_config.

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "in_process_server.h"

namespace {

using korvane::Fuzz::require;

struct Command {
    const char* method;
    const char* path;
};

constexpr std::array<Command, 6> kCommands = {{
    {"POST", "/api/result_feedback"},
    {"POST", "/api/get_result"},
    {"POST", "/api/agent/get_statistic"},
    {"POST", "/api/agent/get_config"},
    {"POST", "/api/agent/set_config"},
    {"POST", "/api/agent/set_data_loop_freq"},
}};
constexpr std::size_t kSetConfig = 4;

// Settings that would point the Agent at another host or folder; the target never leaves the
// machine, so bodies that name them are not sent.
const std::set<std::string> kOutwardKeys = {"device_ip",
                                            "device_port",
                                            "monitoring_service_address",
                                            "monitoring_service_port",
                                            "file_storage_service_address",
                                            "product_prediction_data_folder_path"};

Poco::JSON::Object::Ptr objectOf(const std::string& text) {
    try {
        return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
    } catch (const Poco::Exception&) {
        return nullptr;
    }
}

bool pointsOutward(const Poco::JSON::Object::Ptr& changes) {
    if (!changes) return false;
    for (const auto& [key, value] : *changes) {
        if (kOutwardKeys.contains(key)) return true;
    }
    return false;
}

// Every key a successful set_config was given is in the configuration afterwards.
void checkReadBack(const Poco::JSON::Object::Ptr& changes) {
    const auto answer = korvane::Fuzz::handle("POST", "/api/agent/get_config", "{}");
    const auto data = objectOf(answer.body)->getObject("data");
    require(data != nullptr, "get_config without data");
    for (const auto& [key, value] : *changes) {
        require(data->has(key), "a stored setting is missing from get_config");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t pick = data[0] % kCommands.size();
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto changes = pick == kSetConfig ? objectOf(body) : nullptr;
    if (pointsOutward(changes)) return 0;

    const auto answer = korvane::Fuzz::handle(kCommands[pick].method, kCommands[pick].path, body);
    require(answer.status == 200 || answer.status == 400, "bad input answered neither 200 nor 400");
    const auto envelope = objectOf(answer.body);
    require(envelope != nullptr && envelope->has("code"), "the answer is not an envelope");
    const int code = envelope->getValue<int>("code");
    require(answer.status != 400 || code == -6200, "HTTP 400 without code -6200");
    if (pick == kSetConfig && code == 0) checkReadBack(changes);
    return 0;
}
