#include "multipart_body.h"

#include <optional>

namespace korvane::Utils {

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";
constexpr std::string_view kNameOpening = "name=\"";

// A part's content runs from after its blank line to the line break before the next delimiter.
struct Content {
    std::size_t begin = 0;
    std::size_t end = 0;            // exclusive
    std::size_t nextDelimiter = 0;  // where the delimiter that ends the part starts
};

// The first name="..." with a non-empty value in a part's header line.
std::optional<std::string> partName(std::string_view line) {
    std::size_t at = line.find(kNameOpening);
    while (at != std::string_view::npos) {
        const std::size_t valueBegin = at + kNameOpening.size();
        const std::size_t closing = line.find('"', valueBegin);
        if (closing == std::string_view::npos) {
            return std::nullopt;
        }
        if (closing > valueBegin) {
            return std::string(line.substr(valueBegin, closing - valueBegin));
        }
        at = line.find(kNameOpening, at + 1);
    }
    return std::nullopt;
}

// Finds the content of the part whose headers start at `from`. The error texts are those of
// the file part; a text field renames them.
struct ContentErrors {
    const char* noStart;
    const char* noEnd;
    const char* badRange;
};

std::optional<Content> findContent(std::string_view body, std::string_view delimiter,
                                   std::size_t from, const ContentErrors& errors,
                                   std::string& error) {
    const std::size_t blank = body.find(kBlankLine, from);
    if (blank == std::string_view::npos) {
        error = errors.noStart;
        return std::nullopt;
    }
    const std::size_t begin = blank + kBlankLine.size();
    const std::size_t next = body.find(delimiter, begin);
    if (next == std::string_view::npos) {
        error = errors.noEnd;
        return std::nullopt;
    }
    // The delimiter must leave room for the line break that precedes it.
    if (next < begin + kLineBreak.size()) {
        error = errors.badRange;
        return std::nullopt;
    }
    return Content{begin, next - kLineBreak.size(), next};
}

constexpr ContentErrors kFileErrors{"File data start not found", "File data end not found",
                                    "Invalid file data range"};
constexpr ContentErrors kFieldErrors{"param start not found", "Param end not found",
                                     "Invalid param data range"};

// The file part; on success also where the delimiter after it starts.
std::optional<Content> findFile(std::string_view body, std::string_view delimiter,
                                MultipartBody& result) {
    const std::size_t first = delimiter.empty() ? std::string_view::npos : body.find(delimiter);
    if (first == std::string_view::npos) {
        result.error = "Boundary not found in request body";
        return std::nullopt;
    }
    auto content =
        findContent(body, delimiter, first + delimiter.size(), kFileErrors, result.error);
    // An empty file is no upload.
    if (content && content->begin == content->end) {
        result.error = kFileErrors.badRange;
        return std::nullopt;
    }
    if (content) {
        result.file = body.substr(content->begin, content->end - content->begin);
    }
    return content;
}

}  // namespace

MultipartBody extractMultipartFile(std::string_view body, std::string_view delimiter) {
    MultipartBody result;
    findFile(body, delimiter, result);
    return result;
}

MultipartBody extractMultipartForm(std::string_view body, std::string_view delimiter) {
    MultipartBody result;
    auto part = findFile(body, delimiter, result);
    while (part) {
        // Past the delimiter and its line break comes the next part's header line; the closing
        // delimiter's "--" and a body that simply ends both leave no name there.
        const std::size_t lineBegin = part->nextDelimiter + delimiter.size() + kLineBreak.size();
        if (lineBegin > body.size()) {
            break;
        }
        const auto header = body.substr(lineBegin);
        const auto name = partName(header.substr(0, header.find(kLineBreak)));
        if (!name) {
            break;
        }
        part = findContent(body, delimiter, lineBegin, kFieldErrors, result.error);
        if (part) {
            result.fields.emplace_back(*name, body.substr(part->begin, part->end - part->begin));
        }
    }
    if (!result.error.empty()) {
        result.file = {};
        result.fields.clear();
    }
    return result;
}

}  // namespace korvane::Utils
