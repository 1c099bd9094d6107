#include "tinyproxy_process.h"

#include <Poco/Net/StreamSocket.h>

#include <regex>
#include <stdexcept>

#include "agent_process.h"
#include "http_client.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace korvane::Testing {

namespace {

bool listens(std::uint16_t port) {
    try {
        Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", port));
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

}  // namespace

TinyproxyProcess::TinyproxyProcess(const std::string& workDir, const std::string& user,
                                   const std::string& password)
    : logFile_(workDir + "/tinyproxy.log"), port_(closedPort()) {
    // Without a ConnectPort line tunnels may go to any port, the simulators' included.
    const std::string config = workDir + "/tinyproxy.conf";
    writeFile(config, "Port " + std::to_string(port_) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n" +
                          "LogFile \"" + logFile_ + "\"\nLogLevel Connect\nMaxClients 50\n" +
                          "BasicAuth " + user + " " + password + "\n");
    process_ = std::make_unique<ChildProcess>("/usr/bin/tinyproxy",
                                              std::vector<std::string>{"-d", "-c", config},
                                              std::vector<std::string>{"HOME=" + workDir}, workDir);
    if (!waitUntil([&] { return listens(port_); }, std::chrono::seconds(10))) {
        throw std::runtime_error("tinyproxy did not start: " + process_->stderrText());
    }
}

TinyproxyProcess::~TinyproxyProcess() = default;

std::string TinyproxyProcess::log() const {
    return readFile(logFile_);
}

std::size_t TinyproxyProcess::requestsTo(std::uint16_t port) const {
    const std::regex line(R"(Request \(file descriptor \d+\): [A-Z]+ (http://)?127\.0\.0\.1:)" +
                          std::to_string(port) + "[/ ]");
    const std::string text = log();
    return static_cast<std::size_t>(std::distance(
        std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()));
}

}  // namespace korvane::Testing
