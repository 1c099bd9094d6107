#pragma once
// Takes in a local API request's body within the exchange's limits: a JSON body of at most
// 1 MiB into memory, an upload of at most 1 GiB into a SpoolFile. The connection's deadline
// set when its head arrived covers a JSON body; an upload keeps its own, moved on as its bytes
// arrive: after a first 10 s, every 10 s must bring at least 2.5 MiB (256 KiB/s). Runs on the
// connection's worker thread.

#include <Poco/Net/HTTPServerRequest.h>

#include <memory>
#include <optional>

#include "api_exchange.h"
#include "spool_file.h"

namespace korvane::Engine::LocalApi {

// Reads the body into api.body, or for an upload into a new spool (api.bodyFd then names it);
// a request without a body leaves both empty. Returns the refusal to answer when the body is
// too large (the rest stays unread) or cannot be spooled. Throws Poco::Exception when the
// body ends early or the connection is shut (a missed deadline).
std::optional<ApiReply> readRequestBody(Poco::Net::HTTPServerRequest& request, ApiRequest& api,
                                        bool upload, std::unique_ptr<SpoolFile>& spool);

}  // namespace korvane::Engine::LocalApi
