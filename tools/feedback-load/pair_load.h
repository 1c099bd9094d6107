#pragma once
// Runs recognition + feedback pairs over HTTP from several client threads at once and times
// every request. Against the Agent a pair is GET /api/get_result then POST /api/result_feedback;
// against the camera it is the camera requests the Agent makes for such a pair (get_result,
// result_feedback, get_image). One owner calls run() from one thread.

#include <cstdint>
#include <string>

#include "latency_record.h"

namespace korvane::FeedbackLoad {

class PairLoad {
  public:
    enum class Target { Agent, Camera };
    struct Options {
        Target target = Target::Agent;
        std::string host = "127.0.0.1";
        std::uint16_t port = 5555;
        int pairs = 1000;  // in total, shared by the clients
        int clients = 1;
        bool keepAlive = true;  // false: a new connection for every request
    };
    struct Result {
        int pairs = 0;   // pairs whose every request succeeded
        int errors = 0;  // pairs given up: transport failure, HTTP status, code other than 0
        double seconds = 0.0;
        LatencyRecord getResult;
        LatencyRecord feedback;  // result_feedback, plus get_image against the camera
        LatencyRecord pair;
        std::string firstError;
    };

    explicit PairLoad(Options options) : options_(std::move(options)) {}
    Result run() const;

  private:
    Options options_;
};

}  // namespace korvane::FeedbackLoad
