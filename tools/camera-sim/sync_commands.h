// Commands about synchronisation between cameras: normal, master and slave modes, manual sync
// with its status, the sync limit and the superior device. Built and owned by CameraSimulator;
// handlers run on request threads and touch the device only through CameraState.
#pragma once

#include "camera_state.h"
#include "command_table.h"

namespace korvane::CameraSim {

class SyncCommands {
  public:
    explicit SyncCommands(CameraState& state);
    void registerInto(CommandTable& table);

  private:
    SimReply setSyncNormal(const SimRequest& request);
    SimReply setSyncMaster(const SimRequest& request);
    SimReply setSyncSlave(const SimRequest& request);
    SimReply manualSync(const SimRequest& request);
    SimReply getSyncStatus(const SimRequest& request);
    SimReply getSyncLimit(const SimRequest& request);
    SimReply setSyncLimit(const SimRequest& request);
    SimReply setSuperior(const SimRequest& request);
    SimReply getSuperior(const SimRequest& request);

    CameraState& state_;
};

}  // namespace korvane::CameraSim
