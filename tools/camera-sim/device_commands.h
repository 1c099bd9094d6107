// Commands about the camera as a device: identity and board, clock, store details, calibration,
// learning mode, result count, prediction speed, sold-out limit, reboot, reset and the one-time
// internet access. Built and owned by CameraSimulator; handlers run on request threads and touch
// the device only through CameraState.
#pragma once

#include "camera_state.h"
#include "command_table.h"
#include "fault_plan.h"

namespace korvane::CameraSim {

class DeviceCommands {
  public:
    DeviceCommands(CameraState& state, FaultPlan& faults);
    void registerInto(CommandTable& table);

  private:
    SimReply getDeviceInfo(const SimRequest& request);
    SimReply getBoardInfo(const SimRequest& request);
    SimReply getTime(const SimRequest& request);
    SimReply setTime(const SimRequest& request);
    SimReply getExtraInfo(const SimRequest& request);
    SimReply setExtraInfo(const SimRequest& request);
    SimReply getCalib(const SimRequest& request);
    SimReply setCalib(const SimRequest& request);
    SimReply getLearnmode(const SimRequest& request);
    SimReply setLearnmode(const SimRequest& request);
    SimReply setMaxResult(const SimRequest& request);
    SimReply setPredictSpeed(const SimRequest& request);
    SimReply setSoldOutLimit(const SimRequest& request);
    SimReply reboot(const SimRequest& request);
    SimReply resetDevice(const SimRequest& request);
    SimReply enableInternetOnce(const SimRequest& request);

    CameraState& state_;
    FaultPlan& faults_;
};

}  // namespace korvane::CameraSim
