#include "http_client.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>

#include <thread>

namespace korvane::Testing {

HttpResult httpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                       const std::string& body, const std::string& contentType,
                       std::chrono::milliseconds timeout,
                       const std::vector<std::pair<std::string, std::string>>& headers) {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(static_cast<long>(timeout.count()) * 1000));
    Poco::Net::HTTPRequest request(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!contentType.empty()) request.setContentType(contentType);
    for (const auto& [name, value] : headers) request.set(name, value);
    if (!body.empty() || method == "POST" || method == "PATCH" || method == "PUT") {
        request.setContentLength64(static_cast<Poco::Int64>(body.size()));
    }
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    HttpResult result;
    result.status = response.getStatus();
    result.reason = response.getReason();
    result.contentType = response.getContentType();
    for (const auto& [name, value] : response) result.headers.emplace_back(name, value);
    Poco::StreamCopier::copyToString(in, result.body);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
}

}  // namespace korvane::Testing
