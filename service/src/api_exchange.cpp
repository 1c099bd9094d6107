#include "api_exchange.h"

namespace korvane::Engine::Test {

ApiReply ApiReply::json(const std::string& text, int status) {
    ApiReply reply;
    reply.status = status;
    reply.body = text;
    return reply;
}

ApiReply ApiReply::bytes(std::string body, std::string contentType, int status) {
    ApiReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.contentType = std::move(contentType);
    return reply;
}

ApiReply ApiReply::notFoundReply() {
    ApiReply reply;
    reply.status = 404;
    reply.reason = "Not Found";
    reply.contentType = "application/octet-stream";
    reply.notFound = true;
    return reply;
}

}  // namespace korvane::Engine::Test
