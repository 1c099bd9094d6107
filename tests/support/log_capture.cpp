#include "log_capture.h"

#include <Poco/Net/ServerSocket.h>

#include <algorithm>

#include "logger.h"

namespace korvane::Testing {

LogCapture::LogCapture() {
    sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    sink_->set_pattern("%v");
    Log()->sinks().push_back(sink_);
}

LogCapture::~LogCapture() {
    auto& sinks = Log()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

std::string LogCapture::text() {
    Log()->flush();
    return stream_.str();
}

std::uint16_t closedPort() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    const auto port = socket.address().port();
    socket.close();
    return port;
}

}  // namespace korvane::Testing
