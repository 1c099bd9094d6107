#include "exchange.h"

#include <strings.h>

#include <boost/json/serialize.hpp>

namespace korvane::MonitoringSim {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Exchange::hasJsonBody() const {
    // Parameters such as "; charset=utf-8" may follow the media type.
    const std::string type = contentType.substr(0, contentType.find(';'));
    return strcasecmp(type.c_str(), "application/json") == 0;
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(plusIsSpace && c == '+' ? ' ' : c);
    }
    return out;
}

NameValues parsePairs(std::string_view text) {
    NameValues pairs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view field = text.substr(start, end - start);
        if (!field.empty()) {
            const std::size_t equals = field.find('=');
            if (equals == std::string_view::npos) {
                pairs.emplace_back(percentDecode(field, true), std::string());
            } else {
                pairs.emplace_back(percentDecode(field.substr(0, equals), true),
                                   percentDecode(field.substr(equals + 1), true));
            }
        }
        start = end + 1;
    }
    return pairs;
}

void splitTarget(const std::string& target, std::vector<std::string>& segments, NameValues& query) {
    // A fragment never travels in a request target; a raw "#" would be the client's fault, so it
    // stays part of the path where the recording shows it.
    const std::size_t mark = target.find('?');
    const std::string path = target.substr(0, mark);
    if (mark != std::string::npos) query = parsePairs(std::string_view(target).substr(mark + 1));
    std::size_t start = path.empty() || path[0] != '/' ? 0 : 1;
    if (start == 1 && path.size() == 1) return;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        segments.push_back(percentDecode(std::string_view(path).substr(start, end - start), false));
        start = end + 1;
    }
}

const std::string* findValue(const NameValues& pairs, const std::string& name) {
    for (const auto& [key, value] : pairs) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::string headerValue(const NameValues& headers, const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return {};
}

Reply jsonReply(int status, const boost::json::value& value) {
    return Reply{status, boost::json::serialize(value), "application/json"};
}

Reply errorReply(int status, const std::string& code, const std::string& message) {
    return jsonReply(status, boost::json::object{{"code", code}, {"message", message}});
}

Reply emptyReply(int status) {
    return Reply{status, std::string(), std::string()};
}

}  // namespace korvane::MonitoringSim
