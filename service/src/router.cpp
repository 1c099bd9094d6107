#include "router.h"

#include <Poco/Exception.h>
#include <Poco/JSON/JSONException.h>

#include "invalid_request.h"
#include "logger.h"

namespace korvane::Engine::LocalApi {

namespace {

template <class Command>
const ApiHandler* handlerOf(const Command* command) {
    return command ? &command->handler : nullptr;
}

}  // namespace

void Router::addCommand(const std::string& command, std::set<std::string> methods,
                        ApiHandler handler, Access access) {
    apiCommands_[command] = Command{std::move(methods), std::move(handler), false, access, command};
}

void Router::addAgentCommand(const std::string& command, std::set<std::string> methods,
                             ApiHandler handler, Access access) {
    agentCommands_[command] =
        Command{std::move(methods), std::move(handler), false, access, "agent/" + command};
}

void Router::addUploadCommand(const std::string& command, std::set<std::string> methods,
                              ApiHandler handler, Access access) {
    apiCommands_[command] = Command{std::move(methods), std::move(handler), true, access, command};
}

void Router::addRootCommand(const std::string& command, std::set<std::string> methods,
                            ApiHandler handler, Access access) {
    rootCommands_[command] =
        Command{std::move(methods), std::move(handler), false, access, command};
}

void Router::setMonitoringRoute(ApiHandler handler, Access access) {
    monitoringRoute_ = std::move(handler);
    monitoringAccess_ = access;
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

const Router::Command* Router::commandOf(const ApiRequest& request) const {
    const auto& s = request.segments;
    if (s.size() == 1) return find(rootCommands_, s[0], request.method);
    if (s.size() == 2 && s[0] == "api") return find(apiCommands_, s[1], request.method);
    if (s.size() >= 3 && s[0] == "api" && s[1] == "agent") {
        return find(agentCommands_, s[2], request.method);
    }
    return nullptr;
}

bool Router::takesUpload(const ApiRequest& request) const {
    const Command* command = commandOf(request);
    return command && command->upload;
}

bool Router::needsAdmin(const ApiRequest& request) const {
    const auto& s = request.segments;
    if (s.size() >= 3 && s[0] == "api" && s[1] == "monitoring") {
        return monitoringAccess_ == Access::Admin;
    }
    const Command* command = commandOf(request);
    return command && command->access == Access::Admin;
}

const ApiHandler* Router::select(const ApiRequest& request) const {
    const auto& s = request.segments;
    const ApiHandler* handler = nullptr;
    if (const Command* root = s.size() == 1 ? commandOf(request) : nullptr) {
        handler = &root->handler;
    } else if (s.size() == 2 && s[0] == "download") {
        handler = &downloadRoute_;
    } else if (s.empty() || s[0] != "api") {
        handler = &outsideRoute_;
    } else if (s.size() == 2 || (s.size() >= 3 && s[1] == "agent")) {
        handler = handlerOf(commandOf(request));
    } else if (s.size() >= 3 && s[1] == "monitoring") {
        handler = &monitoringRoute_;
    }
    return handler && *handler ? handler : nullptr;
}

const std::string& Router::routeName(const ApiRequest& request) const {
    static const std::string kMonitoring = "monitoring";
    static const std::string kDownload = "download";
    static const std::string kOutside = "outside";
    static const std::string kUnmatched = "unmatched";
    if (const Command* command = commandOf(request)) return command->name;
    const auto& s = request.segments;
    if (s.size() >= 3 && s[0] == "api" && s[1] == "monitoring" && monitoringRoute_) {
        return kMonitoring;
    }
    if (s.size() == 2 && s[0] == "download" && downloadRoute_) return kDownload;
    if ((s.empty() || s[0] != "api") && outsideRoute_) return kOutside;
    return kUnmatched;
}

ApiReply Router::route(const ApiRequest& request) const {
    const ApiHandler* handler = select(request);
    if (!handler) return ApiReply::notFoundReply();
    try {
        return (*handler)(request);
    } catch (const Utils::InvalidRequest& e) {
        Log()->error("Bad request {} {}: {};", request.method, request.uri, e.what());
        return ApiReply::failure(400, kBadRequestCode);
    } catch (const Poco::JSON::JSONException& e) {
        Log()->error("Bad request {} {}: {};", request.method, request.uri, e.displayText());
        return ApiReply::failure(400, kBadRequestCode);
    } catch (const Poco::Exception& e) {
        Log()->error("Request {} {} failed: {};", request.method, request.uri, e.displayText());
        return ApiReply::failure(500, kInternalErrorCode);
    } catch (const std::exception& e) {
        Log()->error("Request {} {} failed: {};", request.method, request.uri, e.what());
        return ApiReply::failure(500, kInternalErrorCode);
    }
}

}  // namespace korvane::Engine::LocalApi
