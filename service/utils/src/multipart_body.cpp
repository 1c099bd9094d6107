#include "multipart_body.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace korvane::Utils {

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";
constexpr std::string_view kNameOpening = "name=\"";

// A body saved in a file, searched a block at a time so that a large upload never has to fit
// in memory. Only header lines and text fields are read out whole, up to a limit.
class FileBody {
  public:
    static constexpr std::size_t npos = std::string_view::npos;
    static constexpr std::size_t kBlock = 1 << 20;

    // fstat rather than seeking to the end: the descriptor's file position is shared with
    // whoever else reads the body.
    FileBody(int fd, std::size_t textLimit) : fd_(fd), textLimit_(textLimit) {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throw std::runtime_error("cannot size the saved upload");
        size_ = static_cast<std::size_t>(status.st_size);
    }

    std::size_t size() const { return size_; }

    std::size_t find(std::string_view needle, std::size_t from) const {
        if (needle.empty() || from > size_) return from <= size_ ? from : npos;
        // Consecutive blocks overlap by one byte less than the needle, so a match that
        // straddles two blocks is found in the second.
        const std::size_t step = std::max(kBlock, needle.size()) - needle.size() + 1;
        for (std::size_t at = from; at < size_; at += step) {
            read(at, std::max(kBlock, needle.size()), block_);
            if (block_.size() < needle.size()) return npos;
            const std::size_t hit = std::string_view(block_).find(needle);
            if (hit != std::string_view::npos) return at + hit;
        }
        return npos;
    }

    std::string text(std::size_t at, std::size_t length) const {
        if (length > textLimit_) throw std::length_error("multipart text part too long");
        std::string out;
        read(at, length, out);
        return out;
    }

  private:
    void read(std::size_t at, std::size_t length, std::string& out) const {
        out.resize(std::min(length, size_ - std::min(at, size_)));
        if (!readExactly(fd_, at, out.data(), out.size())) {
            throw std::runtime_error("cannot read the saved upload");
        }
    }

    int fd_;  // the caller's; never closed here
    std::size_t size_ = 0;
    std::size_t textLimit_;
    mutable std::string block_;  // reused by find, one block of the file
};

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

std::optional<Content> findContent(const FileBody& body, std::string_view delimiter,
                                   std::size_t from, const ContentErrors& errors,
                                   std::string& error) {
    const std::size_t blank = body.find(kBlankLine, from);
    if (blank == FileBody::npos) {
        error = errors.noStart;
        return std::nullopt;
    }
    const std::size_t begin = blank + kBlankLine.size();
    const std::size_t next = body.find(delimiter, begin);
    if (next == FileBody::npos) {
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

// Where the parts of a body lie; the text fields are copied out.
struct Layout {
    Content file;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string error;
};

// The file part; on success also where the delimiter after it starts.
std::optional<Content> findFile(const FileBody& body, std::string_view delimiter, Layout& result) {
    const std::size_t first = delimiter.empty() ? FileBody::npos : body.find(delimiter, 0);
    if (first == FileBody::npos) {
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
        result.file = *content;
    }
    return content;
}

Layout formLayout(const FileBody& body, std::string_view delimiter, bool withFields) {
    Layout result;
    auto part = findFile(body, delimiter, result);
    while (withFields && part) {
        // Past the delimiter and its line break comes the next part's header line; the closing
        // delimiter's "--" and a body that simply ends both leave no name there.
        const std::size_t lineBegin = part->nextDelimiter + delimiter.size() + kLineBreak.size();
        if (lineBegin > body.size()) {
            break;
        }
        const std::size_t lineEnd = std::min(body.find(kLineBreak, lineBegin), body.size());
        const auto name = partName(body.text(lineBegin, lineEnd - lineBegin));
        if (!name) {
            break;
        }
        part = findContent(body, delimiter, lineBegin, kFieldErrors, result.error);
        if (part) {
            result.fields.emplace_back(*name, body.text(part->begin, part->end - part->begin));
        }
    }
    if (!result.error.empty()) {
        result.file = {};
        result.fields.clear();
    }
    return result;
}

MultipartFile fromFile(int bodyFd, std::string_view delimiter, std::size_t textLimit,
                       bool withFields) {
    MultipartFile result;
    try {
        const FileBody body(bodyFd, textLimit);
        Layout layout = formLayout(body, delimiter, withFields);
        result.file = {bodyFd, layout.file.begin, layout.file.end - layout.file.begin};
        result.fields = std::move(layout.fields);
        result.error = std::move(layout.error);
    } catch (const std::exception& e) {
        result = {};
        result.error = e.what();
    }
    return result;
}

}  // namespace

MultipartFile extractMultipartFile(int bodyFd, std::string_view delimiter, std::size_t textLimit) {
    return fromFile(bodyFd, delimiter, textLimit, false);
}

MultipartFile extractMultipartForm(int bodyFd, std::string_view delimiter, std::size_t textLimit) {
    return fromFile(bodyFd, delimiter, textLimit, true);
}

}  // namespace korvane::Utils
