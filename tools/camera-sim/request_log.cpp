#include "request_log.h"

#include <Poco/Base64Encoder.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/JSON/Array.h>
#include <Poco/TextIterator.h>
#include <Poco/Timestamp.h>
#include <Poco/UTF8Encoding.h>

#include <sstream>

#include "multipart_form.h"

namespace korvane::CameraSim {
namespace {

// Bodies beyond this size are cut in the log; uploads are summarised per part instead.
constexpr std::size_t kMaxLoggedBody = 64 * 1024;

bool isUtf8(const std::string& text) {
    Poco::UTF8Encoding encoding;
    Poco::TextIterator it(text, encoding);
    const Poco::TextIterator end(text);
    for (; it != end; ++it) {
        if (*it < 0) return false;
    }
    return true;
}

std::string base64(const std::string& bytes) {
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.rdbuf()->setLineLength(0);
    encoder << bytes;
    encoder.close();
    return out.str();
}

Poco::JSON::Array::Ptr summarizeParts(const SimRequest& request) {
    Poco::JSON::Array::Ptr parts = new Poco::JSON::Array;
    std::uint64_t dropped = request.droppedBytes;
    for (const auto& part : parseMultipart(request.contentType, request.body)) {
        Poco::JSON::Object::Ptr entry = newObject();
        entry->set("name", part.name);
        entry->set("filename", part.filename);
        entry->set("content_type", part.contentType);
        // The dropped middle of a large upload lies in its first part, the file.
        entry->set("size", part.data.size() + dropped);
        dropped = 0;
        if (part.filename.empty() && isUtf8(part.data)) entry->set("value", part.data);
        parts->add(entry);
    }
    return parts;
}

}  // namespace

RequestLog::RequestLog(std::size_t capacity) : capacity_(capacity) {}

void RequestLog::record(const SimRequest& request, const std::string& fault) {
    Poco::JSON::Object::Ptr entry = newObject();
    entry->set("time", Poco::DateTimeFormatter::format(Poco::Timestamp(),
                                                       Poco::DateTimeFormat::ISO8601_FRAC_FORMAT));
    entry->set("method", request.method);
    entry->set("path", request.path);
    entry->set("query", request.query);
    entry->set("command", request.command);
    entry->set("content_type", request.contentType);
    entry->set("user_agent", request.userAgent);
    entry->set("body_size", request.body.size() + request.droppedBytes);
    if (isMultipart(request.contentType)) {
        try {
            entry->set("parts", summarizeParts(request));
        } catch (const CommandError& e) {
            entry->set("parts_error", std::string(e.what()));
        }
    } else {
        const std::string shown = request.body.substr(0, kMaxLoggedBody);
        if (isUtf8(shown)) {
            entry->set("body", shown);
        } else {
            entry->set("body_base64", base64(shown));
        }
        entry->set("body_truncated", shown.size() < request.body.size());
    }
    entry->set("fault", fault);

    std::lock_guard lock(mutex_);
    entry->set("seq", ++sequence_);
    entries_.push_back(entry);
    while (entries_.size() > capacity_) entries_.pop_front();
}

std::string RequestLog::list(std::size_t limit, const std::string& command) const {
    Poco::JSON::Array::Ptr selected = new Poco::JSON::Array;
    Poco::JSON::Object::Ptr result = newObject();
    result->set("requests", selected);
    // Entries are shared with the log, so they are serialised before the lock goes.
    std::lock_guard lock(mutex_);
    std::deque<Poco::JSON::Object::Ptr> newest;
    for (auto it = entries_.rbegin(); it != entries_.rend() && newest.size() < limit; ++it) {
        if (command.empty() || (*it)->getValue<std::string>("command") == command) {
            newest.push_front(*it);
        }
    }
    for (const auto& entry : newest) selected->add(entry);
    return toJsonText(result);
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace korvane::CameraSim
