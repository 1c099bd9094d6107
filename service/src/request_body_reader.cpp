#include "request_body_reader.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "connection_watchdog.h"
#include "logger.h"
#include "request_framing.h"

namespace korvane::Engine::LocalApi {

namespace {

using Clock = ConnectionWatchdog::Clock;

constexpr std::size_t kBlock = 64 * 1024;
// JSON commands take small objects; uploads (firmware, template archives) up to a gigabyte.
constexpr std::uint64_t kJsonBodyLimit = 1 << 20;
constexpr std::uint64_t kUploadBodyLimit = std::uint64_t{1} << 30;
// A store network carries this easily; a client that cannot keep it up holds a worker and an
// upload slot for nothing.
constexpr std::chrono::seconds kPaceWindow{10};
constexpr std::uint64_t kPaceBytesPerWindow = 10 * 256 * 1024;

// The latest time by which an upload must have brought more bytes: the bytes of any window of
// kPaceWindow after the first one must reach kPaceBytesPerWindow. With B bytes in, the check
// fails once the bytes of kPaceWindow ago exceed B - kPaceBytesPerWindow, so the deadline is
// a window after the first moment the count passed that.
class UploadPace {
  public:
    explicit UploadPace(Clock::time_point start) : earliestCheck_(start + 2 * kPaceWindow) {}

    Clock::time_point deadlineAfter(std::uint64_t total) {
        samples_.push_back({Clock::now(), total});
        const std::uint64_t floor = total > kPaceBytesPerWindow ? total - kPaceBytesPerWindow : 0;
        while (samples_.size() > 1 && samples_.front().total <= floor) samples_.pop_front();
        const auto sinceFloor = samples_.front().total > floor ? samples_.front().at : Clock::now();
        return std::max(earliestCheck_, sinceFloor + kPaceWindow);
    }

  private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t total;
    };
    const Clock::time_point earliestCheck_;
    std::deque<Sample> samples_;
};

enum class Copy { Whole, TooLarge, NotStored };

// Copies at most limit bytes of in to sink(data, size), which says whether it stored them,
// telling progress(total) after each block.
template <class Sink, class Progress>
Copy copyAtMost(std::istream& in, std::uint64_t limit, std::uint64_t& copied, Sink sink,
                Progress progress) {
    std::string block(kBlock, '\0');
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::uint64_t>(in.gcount());
        if (got == 0) break;
        if (copied + got > limit) return Copy::TooLarge;
        if (!sink(block.data(), static_cast<std::size_t>(got))) return Copy::NotStored;
        copied += got;
        progress(copied);
    }
    return Copy::Whole;
}

}  // namespace

std::optional<ApiReply> readRequestBody(Poco::Net::HTTPServerRequest& request, ApiRequest& api,
                                        bool upload, std::unique_ptr<SpoolFile>& spool) {
    if (!hasBody(request)) return std::nullopt;
    const bool chunked = request.getChunkedTransferEncoding();
    const std::uint64_t limit = upload ? kUploadBodyLimit : kJsonBodyLimit;
    const auto declared = chunked ? 0 : static_cast<std::uint64_t>(request.getContentLength64());
    if (declared > limit) {
        Log()->error("Request {} {} refused: body of {} bytes, at most {} taken;",
                     request.getMethod(), request.getURI(), declared, limit);
        return ApiReply::refusal(413, kBadRequestCode);
    }
    std::uint64_t copied = 0;
    Copy outcome = Copy::Whole;
    if (upload) {
        spool = SpoolFile::create();
        if (!spool) return ApiReply::refusal(500, kInternalErrorCode);
        api.bodyFd = spool->fd();
        UploadPace pace(Clock::now());
        ConnectionWatchdog::expectBy(pace.deadlineAfter(0));
        outcome = copyAtMost(
            request.stream(), limit, copied,
            [&](const char* data, std::size_t size) { return spool->append(data, size); },
            [&](std::uint64_t total) { ConnectionWatchdog::expectBy(pace.deadlineAfter(total)); });
    } else {
        outcome = copyAtMost(
            request.stream(), limit, copied,
            [&](const char* data, std::size_t size) {
                api.body.append(data, size);
                return true;
            },
            [](std::uint64_t) {});
    }
    if (outcome == Copy::NotStored) {
        Log()->error("Cannot spool the upload of {}: the disk refused a write;", request.getURI());
        return ApiReply::refusal(500, kInternalErrorCode);
    }
    if (outcome == Copy::TooLarge) {
        Log()->error("Request {} {} refused: chunked body past {} bytes;", request.getMethod(),
                     request.getURI(), limit);
        return ApiReply::refusal(413, kBadRequestCode);
    }
    // A client that hung up mid-body must not have half an upload passed on as a whole one.
    if (!chunked && copied < declared) throw Poco::IOException("request body ended early");
    return std::nullopt;
}

}  // namespace korvane::Engine::LocalApi
