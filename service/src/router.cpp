#include "router.h"

#include <Poco/Exception.h>
#include <Poco/JSON/JSONException.h>

#include "invalid_request.h"
#include "logger.h"
#include "responses.h"

namespace korvane::Engine::Test {

namespace {

constexpr int kBadRequestCode = -6200;
constexpr int kInternalErrorCode = -6210;

template <class Command>
const ApiHandler* handlerOf(const Command* command) {
    return command ? &command->handler : nullptr;
}

ApiReply failure(int httpStatus, int code) {
    return ApiReply::json(Utils::toJsonText(Utils::get_empty_response(code)), httpStatus);
}

}  // namespace

void Router::addCommand(const std::string& command, std::set<std::string> methods,
                        ApiHandler handler) {
    apiCommands_[command] = Command{std::move(methods), std::move(handler)};
}

void Router::addAgentCommand(const std::string& command, std::set<std::string> methods,
                             ApiHandler handler) {
    agentCommands_[command] = Command{std::move(methods), std::move(handler)};
}

void Router::addUploadCommand(const std::string& command, std::set<std::string> methods,
                              ApiHandler handler) {
    apiCommands_[command] = Command{std::move(methods), std::move(handler), true};
}

void Router::setMonitoringRoute(ApiHandler handler) {
    monitoringRoute_ = std::move(handler);
}
void Router::setDownloadRoute(ApiHandler handler) {
    downloadRoute_ = std::move(handler);
}
void Router::setOutsideRoute(ApiHandler handler) {
    outsideRoute_ = std::move(handler);
}

const Router::Command* Router::find(const CommandTable& table, const std::string& command,
                                    const std::string& method) {
    auto it = table.find(command);
    if (it == table.end() || !it->second.methods.contains(method)) return nullptr;
    return &it->second;
}

bool Router::takesUpload(const ApiRequest& request) const {
    const auto& s = request.segments;
    if (s.size() != 2 || s[0] != "api") return false;
    const Command* command = find(apiCommands_, s[1], request.method);
    return command && command->upload;
}

const ApiHandler* Router::select(const ApiRequest& request) const {
    const auto& s = request.segments;
    const ApiHandler* handler = nullptr;
    if (s.size() == 2 && s[0] == "download") {
        handler = &downloadRoute_;
    } else if (s.empty() || s[0] != "api") {
        handler = &outsideRoute_;
    } else if (s.size() == 2) {
        handler = handlerOf(find(apiCommands_, s[1], request.method));
    } else if (s.size() >= 3 && s[1] == "agent") {
        handler = handlerOf(find(agentCommands_, s[2], request.method));
    } else if (s.size() >= 3 && s[1] == "monitoring") {
        handler = &monitoringRoute_;
    }
    return handler && *handler ? handler : nullptr;
}

ApiReply Router::route(const ApiRequest& request) const {
    const ApiHandler* handler = select(request);
    if (!handler) return ApiReply::notFoundReply();
    try {
        return (*handler)(request);
    } catch (const Utils::InvalidRequest& e) {
        Log()->error("Bad request {} {}: {};", request.method, request.uri, e.what());
        return failure(400, kBadRequestCode);
    } catch (const Poco::JSON::JSONException& e) {
        Log()->error("Bad request {} {}: {};", request.method, request.uri, e.displayText());
        return failure(400, kBadRequestCode);
    } catch (const Poco::Exception& e) {
        Log()->error("Request {} {} failed: {};", request.method, request.uri, e.displayText());
        return failure(500, kInternalErrorCode);
    } catch (const std::exception& e) {
        Log()->error("Request {} {} failed: {};", request.method, request.uri, e.what());
        return failure(500, kInternalErrorCode);
    }
}

}  // namespace korvane::Engine::Test
