#pragma once
// A minimal HTTP client for tests: one request per connection over loopback, whole bodies.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::Testing {

struct HttpResult {
    int status = 0;
    std::string reason;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// Throws Poco::Exception when the exchange fails (connection refused, reset, timeout).
HttpResult httpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                       const std::string& body = "", const std::string& contentType = "",
                       std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       const std::vector<std::pair<std::string, std::string>>& headers = {});

// Polls condition until it holds or the deadline passes; returns the last result.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds step = std::chrono::milliseconds(20));

}  // namespace korvane::Testing
