// The token endpoint: checks client-credentials requests, issues and renews opaque bearer
// tokens against its own adjustable clock, answers what the tests scripted (refusals, a missing
// member, an empty body) and records every request's form. Owned by the simulator; every member
// may be called from any thread.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "exchange.h"
#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

class TokenIssuer {
  public:
    struct Settings {
        std::string clientSecret;
        int expiresIn = 300;
        int refreshExpiresIn = 1800;
    };

    explicit TokenIssuer(Settings settings);

    // Answers one token request and records it.
    Reply handle(const Exchange& exchange);
    // Records a token request answered by a scripted answer (status 0: dropped).
    void recordScripted(const Exchange& exchange, int status);

    bool isValid(const std::string& accessToken) const;

    void reset(Settings settings);
    void setClientSecret(const std::string& secret);
    void setExpiresIn(int seconds);
    void setRefreshExpiresIn(int seconds);
    void refuseNext(int count, int status);
    void omitFromNext(const std::string& member);
    void emptyNext();
    void advanceClock(std::chrono::seconds offset);
    void expire(bool refreshToo);
    void clearRecords();
    std::vector<MonitoringSimulator::TokenRequest> requests() const;

  private:
    using Clock = std::chrono::steady_clock;

    struct Grant {
        Clock::time_point expiry;
        std::string sessionState;
    };

    Clock::time_point now() const;  // under mutex_
    std::string randomHex(std::size_t bytes);
    Reply refuse(int status, const std::string& error, const std::string& description);
    Reply issue(const std::string& sessionState, std::string& accessToken);
    Reply answer(const Exchange& exchange, std::string& accessToken);

    mutable std::mutex mutex_;
    Settings settings_;
    std::chrono::seconds offset_{0};
    std::map<std::string, Grant> access_;
    std::map<std::string, Grant> refresh_;
    int refusals_ = 0;
    int refusalStatus_ = 401;
    std::vector<std::string> omitted_;
    bool emptyNext_ = false;
    std::mt19937_64 random_;
    std::vector<MonitoringSimulator::TokenRequest> records_;
};

}  // namespace korvane::MonitoringSim
