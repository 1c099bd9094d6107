#pragma once
// Maps a local API request to its handler by path segments and method, and turns a handler's
// failure into an answer: bad client input gives HTTP 400 {"code":-6200}, any other exception
// HTTP 500 {"code":-6210}. Filled once while the Server is constructed, then read-only, so
// route() may run on any number of request threads at once.

#include <functional>
#include <map>
#include <set>
#include <string>

#include "api_exchange.h"

namespace korvane::Engine::LocalApi {

using ApiHandler = std::function<ApiReply(const ApiRequest&)>;

// Who may call a route: anyone, or with local_api_admin_token set, only a caller that shows it.
enum class Access { Open, Admin };

class Router {
  public:
    // /api/<command> and /api/agent/<command>: a command answers only the listed methods.
    void addCommand(const std::string& command, std::set<std::string> methods, ApiHandler handler,
                    Access access = Access::Open);
    void addAgentCommand(const std::string& command, std::set<std::string> methods,
                         ApiHandler handler, Access access = Access::Open);
    // An /api/<command> whose body is a file upload: the handler finds it saved in
    // ApiRequest::bodyFd instead of ApiRequest::body.
    void addUploadCommand(const std::string& command, std::set<std::string> methods,
                          ApiHandler handler, Access access = Access::Open);
    // /<command>: one segment outside /api, served before the outside route.
    void addRootCommand(const std::string& command, std::set<std::string> methods,
                        ApiHandler handler, Access access = Access::Open);
    // /api/monitoring/...: the handler matches the remaining segments itself.
    void setMonitoringRoute(ApiHandler handler, Access access = Access::Open);
    // /download/<name>
    void setDownloadRoute(ApiHandler handler);
    // Paths whose first segment is not "api".
    void setOutsideRoute(ApiHandler handler);

    // Never throws; an unknown path, command or method answers ApiReply::notFoundReply().
    ApiReply route(const ApiRequest& request) const;
    // Whether the request (its method and segments; the body is not looked at) goes to an
    // upload command.
    bool takesUpload(const ApiRequest& request) const;
    // Whether the request (its method and segments) goes to a route registered Access::Admin.
    bool needsAdmin(const ApiRequest& request) const;
    // The route's name for counting: the registered command ("get_result", "agent/get_info",
    // "metrics"), "monitoring", "download", "outside", or "unmatched". Never the client's text,
    // so the names are as few as the routes.
    const std::string& routeName(const ApiRequest& request) const;

  private:
    struct Command {
        std::set<std::string> methods;
        ApiHandler handler;
        bool upload = false;
        Access access = Access::Open;
        std::string name;
    };
    using CommandTable = std::map<std::string, Command>;

    static const Command* find(const CommandTable& table, const std::string& command,
                               const std::string& method);
    const Command* commandOf(const ApiRequest& request) const;
    const ApiHandler* select(const ApiRequest& request) const;

    CommandTable apiCommands_;
    CommandTable agentCommands_;
    CommandTable rootCommands_;
    ApiHandler monitoringRoute_;
    Access monitoringAccess_ = Access::Open;
    ApiHandler downloadRoute_;
    ApiHandler outsideRoute_;
};

}  // namespace korvane::Engine::LocalApi
