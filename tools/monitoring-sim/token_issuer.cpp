#include "token_issuer.h"

#include <algorithm>
#include <boost/json/object.hpp>

namespace korvane::MonitoringSim {
namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded";
constexpr const char* kScope = "profile email";

bool isFormBody(const std::string& contentType) {
    const std::string type = contentType.substr(0, contentType.find(';'));
    return type == kFormType;
}

std::string refusalError(int status) {
    if (status == 400) return "invalid_request";
    if (status == 401) return "unauthorized_client";
    if (status == 403) return "access_denied";
    return "temporarily_unavailable";
}

}  // namespace

TokenIssuer::TokenIssuer(Settings settings)
    : settings_(std::move(settings)), random_(std::random_device{}()) {}

TokenIssuer::Clock::time_point TokenIssuer::now() const {
    return Clock::now() + offset_;
}

std::string TokenIssuer::randomHex(std::size_t bytes) {
    std::string text;
    text.reserve(bytes * 2);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto byte = static_cast<unsigned>(random_() & 0xffU);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xfU]);
    }
    return text;
}

Reply TokenIssuer::refuse(int status, const std::string& error, const std::string& description) {
    return jsonReply(status,
                     boost::json::object{{"error", error}, {"error_description", description}});
}

Reply TokenIssuer::issue(const std::string& sessionState, std::string& accessToken) {
    if (emptyNext_) {
        emptyNext_ = false;
        return Reply{200, std::string(), "application/json"};
    }
    const auto issuedAt = now();
    accessToken = randomHex(32);
    const std::string refreshToken = randomHex(32);
    access_[accessToken] =
        Grant{issuedAt + std::chrono::seconds(settings_.expiresIn), sessionState};
    refresh_[refreshToken] =
        Grant{issuedAt + std::chrono::seconds(settings_.refreshExpiresIn), sessionState};

    boost::json::object body{{"access_token", accessToken},
                             {"expires_in", settings_.expiresIn},
                             {"refresh_expires_in", settings_.refreshExpiresIn},
                             {"refresh_token", refreshToken},
                             {"token_type", "Bearer"},
                             {"session_state", sessionState},
                             {"scope", kScope}};
    for (const auto& member : omitted_) body.erase(member);
    omitted_.clear();
    return jsonReply(200, body);
}

Reply TokenIssuer::answer(const Exchange& exchange, std::string& accessToken) {
    if (refusals_ > 0) {
        --refusals_;
        return refuse(refusalStatus_, refusalError(refusalStatus_), "Refused by request");
    }
    if (!isFormBody(exchange.contentType)) {
        return refuse(400, "invalid_request", "Expected a form-encoded body");
    }
    const NameValues form = parsePairs(exchange.body);
    const std::string* grantType = findValue(form, "grant_type");
    const std::string* clientId = findValue(form, "client_id");
    const std::string* secret = findValue(form, "client_secret");
    if (!grantType) return refuse(400, "invalid_request", "Missing form parameter: grant_type");
    if (*grantType != "client_credentials") {
        return refuse(400, "unsupported_grant_type", "Unsupported grant_type");
    }
    if (!clientId || *clientId != "device") {
        return refuse(401, "invalid_client", "Invalid client credentials");
    }
    if (!secret || *secret != settings_.clientSecret) {
        return refuse(401, "unauthorized_client", "Invalid client credentials");
    }

    const std::string* refreshToken = findValue(form, "refresh_token");
    if (!refreshToken) {
        const std::string session = randomHex(4) + "-" + randomHex(2) + "-" + randomHex(2) + "-" +
                                    randomHex(2) + "-" + randomHex(6);
        return issue(session, accessToken);
    }
    const auto found = refresh_.find(*refreshToken);
    if (found == refresh_.end() || !(now() < found->second.expiry)) {
        return refuse(401, "invalid_grant", "Refresh token unknown or expired");
    }
    // Renewal keeps the session and retires the refresh token it used.
    const std::string session = found->second.sessionState;
    refresh_.erase(found);
    return issue(session, accessToken);
}

Reply TokenIssuer::handle(const Exchange& exchange) {
    std::lock_guard lock(mutex_);
    std::string accessToken;
    Reply reply = answer(exchange, accessToken);
    MonitoringSimulator::TokenRequest record;
    record.form = parsePairs(exchange.body);
    record.renewal = findValue(record.form, "refresh_token") != nullptr;
    record.status = reply.status;
    record.accessToken = accessToken;
    records_.push_back(std::move(record));
    return reply;
}

void TokenIssuer::recordScripted(const Exchange& exchange, int status) {
    std::lock_guard lock(mutex_);
    MonitoringSimulator::TokenRequest record;
    record.form = parsePairs(exchange.body);
    record.renewal = findValue(record.form, "refresh_token") != nullptr;
    record.status = status;
    records_.push_back(std::move(record));
}

bool TokenIssuer::isValid(const std::string& accessToken) const {
    std::lock_guard lock(mutex_);
    const auto found = access_.find(accessToken);
    return found != access_.end() && now() < found->second.expiry;
}

void TokenIssuer::reset(Settings settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
    offset_ = std::chrono::seconds(0);
    access_.clear();
    refresh_.clear();
    refusals_ = 0;
    refusalStatus_ = 401;
    omitted_.clear();
    emptyNext_ = false;
    records_.clear();
}

void TokenIssuer::setClientSecret(const std::string& secret) {
    std::lock_guard lock(mutex_);
    settings_.clientSecret = secret;
}

void TokenIssuer::setExpiresIn(int seconds) {
    std::lock_guard lock(mutex_);
    settings_.expiresIn = seconds;
}

void TokenIssuer::setRefreshExpiresIn(int seconds) {
    std::lock_guard lock(mutex_);
    settings_.refreshExpiresIn = seconds;
}

void TokenIssuer::refuseNext(int count, int status) {
    std::lock_guard lock(mutex_);
    refusals_ = std::max(count, 0);
    refusalStatus_ = status;
}

void TokenIssuer::omitFromNext(const std::string& member) {
    std::lock_guard lock(mutex_);
    omitted_.push_back(member);
}

void TokenIssuer::emptyNext() {
    std::lock_guard lock(mutex_);
    emptyNext_ = true;
}

void TokenIssuer::advanceClock(std::chrono::seconds offset) {
    std::lock_guard lock(mutex_);
    offset_ += offset;
}

void TokenIssuer::expire(bool refreshToo) {
    std::lock_guard lock(mutex_);
    const auto at = now();
    for (auto& [token, grant] : access_) grant.expiry = std::min(grant.expiry, at);
    if (!refreshToo) return;
    for (auto& [token, grant] : refresh_) grant.expiry = std::min(grant.expiry, at);
}

void TokenIssuer::clearRecords() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::vector<MonitoringSimulator::TokenRequest> TokenIssuer::requests() const {
    std::lock_guard lock(mutex_);
    return records_;
}

}  // namespace korvane::MonitoringSim
