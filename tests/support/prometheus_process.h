#pragma once
// Debian's Prometheus server run as a child process on a free loopback port, scraping one
// target every second with a bearer token and loading a rules file, for tests that check what
// a real scrape makes of the Agent's metrics. One per test; stopped with the object.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvane::Testing {

class ChildProcess;

class PrometheusProcess {
  public:
    // Throws when the server is not ready within 30 s.
    PrometheusProcess(const std::string& workDir, const std::string& target,
                      const std::string& bearerToken, const std::string& rulesFile);
    ~PrometheusProcess();
    PrometheusProcess(const PrometheusProcess&) = delete;
    PrometheusProcess& operator=(const PrometheusProcess&) = delete;

    // The value of an instant query with one result; nullopt when it has none or fails.
    std::optional<double> query(const std::string& expression) const;

  private:
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// What `promtool <arguments>` printed, and whether it exited 0.
struct PromtoolResult {
    bool passed = false;
    std::string output;
};
PromtoolResult runPromtool(const std::string& arguments);

}  // namespace korvane::Testing
