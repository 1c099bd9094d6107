#include "s3_sim_process.h"

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
    : S3SimProcess(script, workDir, Credentials{}) {}

S3SimProcess::S3SimProcess(const std::string& script, const std::string& workDir,
                           Credentials credentials)
    : credentials_(std::move(credentials)) {
    process_ = std::make_unique<ChildProcess>(
        findNode(),
        std::vector<std::string>{script, "--port", "0", "--bucket", credentials_.bucket,
                                 "--access-key", credentials_.accessKey, "--secret-key",
                                 credentials_.secretKey},
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
    return "http://127.0.0.1:" + std::to_string(port_);
}

boost::json::object S3SimProcess::control(const std::string& method, const std::string& path,
                                          const std::string& body) const {
    const auto result = httpRequest(port_, method, "/_sim/" + path, body, "application/json");
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
    const auto result = httpRequest(port_, "GET", "/_sim/object?key=" + encoded);
    return result.status == 200 ? result.body : std::string();
}

void S3SimProcess::fault(const std::string& plan) const {
    control("POST", "fault", plan);
}

}  // namespace korvane::Testing
