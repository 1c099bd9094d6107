#include "api_exchange.h"

#include "responses.h"

namespace korvane::Engine::LocalApi {

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

ApiReply ApiReply::failure(int status, int code) {
    return json(Utils::toJsonText(Utils::get_empty_response(code)), status);
}

ApiReply ApiReply::refusal(int status, int code) {
    ApiReply reply = failure(status, code);
    reply.close = true;
    return reply;
}

}  // namespace korvane::Engine::LocalApi
