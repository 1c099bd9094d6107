#include "s3_sim_process.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "agent_process.h"
#include "http_client.h"

namespace korvane::Testing {

namespace {

std::string findNode() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / "node";
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return "/usr/bin/node";
}

}  // namespace

S3SimProcess::S3SimProcess(const std::string& script, const std::string& workDir)
    : S3SimProcess(script, workDir, Credentials{}, std::nullopt) {}

S3SimProcess::S3SimProcess(const std::string& script, const std::string& workDir,
                           Credentials credentials)
    : S3SimProcess(script, workDir, std::move(credentials), std::nullopt) {}

S3SimProcess::S3SimProcess(const std::string& script, const std::string& workDir,
                           Credentials credentials, std::optional<Tls> tls,
                           std::vector<std::string> arguments)
    : credentials_(std::move(credentials)), tls_(std::move(tls)) {
    arguments.insert(arguments.begin(),
                     {script, "--port", "0", "--bucket", credentials_.bucket, "--access-key",
                      credentials_.accessKey, "--secret-key", credentials_.secretKey});
    if (tls_) {
        arguments.insert(arguments.end(),
                         {"--cert", tls_->certificateFile, "--key", tls_->privateKeyFile});
    }
    process_ = std::make_unique<ChildProcess>(findNode(), arguments,
                                              std::vector<std::string>{"HOME=" + workDir}, workDir);
    const bool reported =
        waitUntil([&] { return process_->stdoutText().find('\n') != std::string::npos; },
                  std::chrono::seconds(15));
    const std::string out = process_->stdoutText();
    const std::string prefix = "listening on ";
    if (!reported || out.rfind(prefix, 0) != 0) {
        throw std::runtime_error("s3 simulator did not start: " + out + " " +
                                 process_->stderrText());
    }
    port_ = static_cast<std::uint16_t>(std::stoi(out.substr(prefix.size())));
}

S3SimProcess::~S3SimProcess() = default;

std::string S3SimProcess::endpoint() const {
    return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_);
}

HttpResult S3SimProcess::request(const std::string& method, const std::string& path,
                                 const std::string& body) const {
    if (!tls_) {
        return httpRequest(port_, method, path, body, "application/json");
    }
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", tls_->caFile,
                               Poco::Net::Context::VERIFY_RELAXED);
    Poco::Net::HTTPSClientSession session("127.0.0.1", port_, context);
    session.setTimeout(Poco::Timespan(10, 0));
    Poco::Net::HTTPRequest sent(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
    sent.setContentLength(static_cast<std::streamsize>(body.size()));
    sent.setContentType("application/json");
    session.sendRequest(sent) << body;
    Poco::Net::HTTPResponse received;
    HttpResult answer;
    Poco::StreamCopier::copyToString(session.receiveResponse(received), answer.body);
    answer.status = received.getStatus();
    return answer;
}

boost::json::object S3SimProcess::control(const std::string& method, const std::string& path,
                                          const std::string& body) const {
    const auto result = request(method, "/_sim/" + path, body);
    if (result.status != 200) throw std::runtime_error("control " + path + ": " + result.body);
    return boost::json::parse(result.body).as_object();
}

std::int64_t S3SimProcess::stat(const char* name) const {
    return control("GET", "stats").at(name).as_int64();
}

std::map<std::string, std::int64_t> S3SimProcess::objects() const {
    std::map<std::string, std::int64_t> sizes;
    const auto listing = control("GET", "objects");
    for (const auto& o : listing.at("objects").as_array()) {
        sizes[std::string(o.at("key").as_string())] = o.at("size").as_int64();
    }
    return sizes;
}

std::string S3SimProcess::object(const std::string& key) const {
    std::string encoded;
    Poco::URI::encode(key, "&=+?#", encoded);
    const auto result = request("GET", "/_sim/object?key=" + encoded, "");
    return result.status == 200 ? result.body : std::string();
}

void S3SimProcess::fault(const std::string& plan) const {
    control("POST", "fault", plan);
}

}  // namespace korvane::Testing
