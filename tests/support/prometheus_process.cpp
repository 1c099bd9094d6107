#include "prometheus_process.h"

#include <Poco/URI.h>
#include <sys/wait.h>

#include <array>
#include <boost/json.hpp>
#include <cstdio>
#include <stdexcept>

#include "agent_process.h"
#include "http_client.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace korvane::Testing {

namespace {

std::string configuration(const std::string& target, const std::string& tokenFile,
                          const std::string& rulesFile) {
    return "global:\n"
           "  scrape_interval: 1s\n"
           "  evaluation_interval: 1s\n"
           "rule_files: ['" +
           rulesFile +
           "']\n"
           "scrape_configs:\n"
           "  - job_name: pellix-agent\n"
           "    authorization:\n"
           "      type: Bearer\n"
           "      credentials_file: " +
           tokenFile +
           "\n"
           "    static_configs:\n"
           "      - targets: ['" +
           target + "']\n";
}

}  // namespace

PrometheusProcess::PrometheusProcess(const std::string& workDir, const std::string& target,
                                     const std::string& bearerToken, const std::string& rulesFile)
    : port_(closedPort()) {
    writeFile(workDir + "/token", bearerToken);
    writeFile(workDir + "/prometheus.yml", configuration(target, workDir + "/token", rulesFile));
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/prometheus",
        std::vector<std::string>{"--config.file=" + workDir + "/prometheus.yml",
                                 "--storage.tsdb.path=" + workDir + "/data",
                                 "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
        std::vector<std::string>{"HOME=" + workDir}, workDir);
    const bool ready = waitUntil(
        [&] {
            try {
                return httpRequest(port_, "GET", "/-/ready").status == 200;
            } catch (const std::exception&) {
                return false;
            }
        },
        std::chrono::seconds(30), std::chrono::milliseconds(200));
    if (!ready) throw std::runtime_error("prometheus did not start: " + process_->stderrText());
}

PrometheusProcess::~PrometheusProcess() = default;

std::optional<double> PrometheusProcess::query(const std::string& expression) const {
    std::string encoded;
    Poco::URI::encode(expression, "!#$&'()*+,/:;=?@[]{}\"<>%", encoded);
    try {
        const auto answer = httpRequest(port_, "POST", "/api/v1/query", "query=" + encoded,
                                        "application/x-www-form-urlencoded");
        if (answer.status != 200) return std::nullopt;
        const boost::json::value parsed = boost::json::parse(answer.body);
        const auto& result = parsed.at("data").at("result").as_array();
        if (result.size() != 1) return std::nullopt;
        return std::stod(std::string(result[0].at("value").as_array()[1].as_string()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

PromtoolResult runPromtool(const std::string& arguments) {
    PromtoolResult result;
    FILE* pipe = popen(("/usr/bin/promtool " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        result.output.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    result.passed = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

}  // namespace korvane::Testing
