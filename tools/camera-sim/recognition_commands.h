// Commands of the recognition itself: the ranked candidates for what lies on the scale, the
// operator's feedback on them and the current picture. Built and owned by CameraSimulator;
// handlers run on request threads and touch the device only through CameraState.
#pragma once

#include "camera_state.h"
#include "command_table.h"

namespace korvane::CameraSim {

class RecognitionCommands {
  public:
    explicit RecognitionCommands(CameraState& state);
    void registerInto(CommandTable& table);

  private:
    SimReply getResult(const SimRequest& request);
    SimReply resultFeedback(const SimRequest& request);
    SimReply getImage(const SimRequest& request);

    CameraState& state_;
};

}  // namespace korvane::CameraSim
