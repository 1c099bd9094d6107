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

namespace korvane::Engine::Test {

using ApiHandler = std::function<ApiReply(const ApiRequest&)>;

class Router {
  public:
    // /api/<command> and /api/agent/<command>: a command answers only the listed methods.
    void addCommand(const std::string& command, std::set<std::string> methods, ApiHandler handler);
    void addAgentCommand(const std::string& command, std::set<std::string> methods,
                         ApiHandler handler);
    // An /api/<command> whose body is a file upload: the handler finds it saved in
    // ApiRequest::bodyFile instead of ApiRequest::body.
    void addUploadCommand(const std::string& command, std::set<std::string> methods,
                          ApiHandler handler);
    // /api/monitoring/...: the handler matches the remaining segments itself.
    void setMonitoringRoute(ApiHandler handler);
    // /download/<name>
    void setDownloadRoute(ApiHandler handler);
    // Paths whose first segment is not "api".
    void setOutsideRoute(ApiHandler handler);

    // Never throws; an unknown path, command or method answers ApiReply::notFoundReply().
    ApiReply route(const ApiRequest& request) const;
    // Whether the request (its method and segments; the body is not looked at) goes to an
    // upload command.
    bool takesUpload(const ApiRequest& request) const;

  private:
    struct Command {
        std::set<std::string> methods;
        ApiHandler handler;
        bool upload = false;
    };
    using CommandTable = std::map<std::string, Command>;

    static const Command* find(const CommandTable& table, const std::string& command,
                               const std::string& method);
    const ApiHandler* select(const ApiRequest& request) const;

    CommandTable apiCommands_;
    CommandTable agentCommands_;
    ApiHandler monitoringRoute_;
    ApiHandler downloadRoute_;
    ApiHandler outsideRoute_;
};

}  // namespace korvane::Engine::Test
