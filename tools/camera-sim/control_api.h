// The simulator's own HTTP API under /sim/, which the Agent never calls: tests script faults,
// take the camera down, reset it, tune job speed and fixed results, and read back the requests
// the camera received and its state. Built and owned by CameraSimulator; runs on request
// threads and reaches the shared parts only through their own locks.
#pragma once

#include <chrono>
#include <functional>

#include "camera_state.h"
#include "fault_plan.h"
#include "request_log.h"
#include "sim_message.h"

namespace korvane::CameraSim {

class ControlApi {
  public:
    // `refuseFor` closes the listening socket for the given time (connections refused).
    ControlApi(CameraState& state, FaultPlan& faults, RequestLog& log,
               std::function<void(std::chrono::milliseconds)> refuseFor);

    // Answers one request whose path begins with /sim/.
    SimReply handle(const SimRequest& request);

  private:
    SimReply addFault(const SimRequest& request);
    SimReply clearFaults(const SimRequest& request);
    SimReply reset(const SimRequest& request);
    SimReply down(const SimRequest& request);
    SimReply up(const SimRequest& request);
    SimReply requests(const SimRequest& request);
    SimReply clearRequests(const SimRequest& request);
    SimReply state(const SimRequest& request);
    SimReply getConfig(const SimRequest& request);
    SimReply setConfig(const SimRequest& request);

    CameraState& state_;
    FaultPlan& faults_;
    RequestLog& log_;
    std::function<void(std::chrono::milliseconds)> refuseFor_;
};

}  // namespace korvane::CameraSim
