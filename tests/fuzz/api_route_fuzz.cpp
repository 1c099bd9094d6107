// libFuzzer target for the local API's routing: an input is "<method> <request target>", read
// as the HTTP server would read a request line, and goes through the whole request path of an
// in-process Server (path splitting and decoding, query parsing, the route table, the handler)
// without a body. Checks the 404 rules that hold whatever the routes are: a path outside
// /api and /download, an /api path that names no command, and a method other than GET and
// POST on a command find no handler.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "in_process_server.h"

namespace {

using korvane::Fuzz::require;

// The request line parser splits on white space; such bytes never reach a handler.
bool isToken(std::string_view text, std::size_t limit) {
    if (text.empty() || text.size() > limit) return false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0) {
            return false;
        }
    }
    return true;
}

// Segments of an origin-form path without percent escapes; empty segments dropped.
std::vector<std::string_view> plainSegments(std::string_view target) {
    std::vector<std::string_view> segments;
    const std::string_view path = target.substr(0, target.find_first_of("?#"));
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

void checkNotFoundRules(std::string_view method, std::string_view target, int status) {
    if (!target.starts_with('/') || target.find('%') != std::string_view::npos) return;
    const auto segments = plainSegments(target);
    const bool download = segments.size() == 2 && segments[0] == "download";
    if (!download && (segments.empty() || segments[0] != "api")) {
        require(status == 404, "a path outside the API found a handler");
    }
    const bool api = !segments.empty() && segments[0] == "api";
    if (api && (segments.size() == 1 ||
                (segments.size() >= 3 && segments[1] != "agent" && segments[1] != "monitoring"))) {
        require(status == 404, "an /api path of no command found a handler");
    }
    const bool command =
        api && (segments.size() == 2 || (segments.size() >= 3 && segments[1] == "agent"));
    if (command && method != "GET" && method != "POST") {
        require(status == 404, "a command answered a method it does not take");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t space = input.find(' ');
    if (space == std::string_view::npos) return 0;
    const std::string_view method = input.substr(0, space);
    const std::string_view target = input.substr(space + 1);
    if (!isToken(method, 32) || !isToken(target, 16384)) return 0;

    const auto answer = korvane::Fuzz::handle(std::string(method), std::string(target), "");
    require(answer.status == 200 || answer.status == 400 || answer.status == 404 ||
                answer.status == 500 || answer.status == 502,
            "unexpected status");
    if (answer.contentType == "application/json") {
        require(korvane::Fuzz::isJson(answer.body), "a JSON answer that is not JSON");
    }
    checkNotFoundRules(method, target, answer.status);
    return 0;
}
