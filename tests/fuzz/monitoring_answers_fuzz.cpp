// libFuzzer target for the monitoring service's answers the Agent acts on: the token answer,
// a task, the device listing of the id search and the check-actual state. The first input byte
// picks the reader, the rest is the answer's body. The loop catches std::exception and goes
// on, so a reader may throw one of those and nothing else; what it returns must be usable as
// the loop uses it (a renewal time within the clock's range, source-mode settings present
// exactly when enabled).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "in_process_server.h"
#include "monitoring_answers.h"

namespace {

using korvane::Fuzz::require;
namespace Sync = korvane::Engine::Sync;

void readToken(const std::string& body) {
    const auto token = Sync::parseTokenAnswer(body);
    const auto now = std::chrono::system_clock::now();
    const auto renewal = Sync::renewalTime(now, token.expiresIn, 60);
    require(renewal >= now - std::chrono::seconds(60), "renewal before the margin");
    require(renewal <= now + std::chrono::hours(24 * 3660), "renewal beyond ten years");
    if (token.expiresIn > 60 && token.expiresIn < 3600) {
        require(renewal == now + std::chrono::seconds(token.expiresIn - 60), "renewal moved");
    }
}

void readTask(const std::string& body) {
    static_cast<void>(Sync::parseTask(body));
}

void readDeviceList(const std::string& body) {
    static_cast<void>(Sync::parseSingleDeviceId(body));
}

void readSourceState(const std::string& body) {
    const auto state = Sync::parseSourceState(body);
    require(state.enabled == state.settings.has_value(), "settings without source mode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 4) {
            case 0:
                readToken(body);
                break;
            case 1:
                readTask(body);
                break;
            case 2:
                readDeviceList(body);
                break;
            default:
                readSourceState(body);
                break;
        }
    } catch (const std::exception&) {
    }
    return 0;
}
