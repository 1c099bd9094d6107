#pragma once
// The framing rules of a local API request head: what of it the routing layer sees, and
// whether the end of its body (and so the start of the next request) can be trusted
// (RFC 9112 6). Stateless; any thread.

#include "api_exchange.h"

namespace Poco::Net {
class HTTPServerRequest;
}

namespace korvane::Engine::LocalApi {

// Everything of the request but its body. Throws Poco::SyntaxException for a broken target.
ApiRequest readRequestHead(Poco::Net::HTTPServerRequest& request);

// Conflicting Content-Length headers, one that is not digits, or a transfer coding other than
// chunked: the body's end is unknown, so the request is refused and the connection closed.
bool bodyEndInDoubt(const Poco::Net::HTTPServerRequest& request);

// Both a length and chunked: served by the chunks, but whoever sent it may have meant the
// length, so nothing after it on this connection can be trusted (RFC 9112 6.1).
bool connectionEndsAfterBody(const Poco::Net::HTTPServerRequest& request);

// Whether the request declares a body at all; without a length or chunked coding it has none
// (RFC 9112 6.3), and reading would wait for the client to close the connection.
bool hasBody(const Poco::Net::HTTPServerRequest& request);

}  // namespace korvane::Engine::LocalApi
