// Commands about the learnt products and their templates: the product list with template
// counts, adding and deleting templates and products, clearing everything, sold-out marks and
// the deletion-on-all-devices flag with its progress. Built and owned by CameraSimulator;
// handlers run on request threads and touch the device only through CameraState.
#pragma once

#include "camera_state.h"
#include "command_table.h"

namespace korvane::CameraSim {

class TemplateCommands {
  public:
    explicit TemplateCommands(CameraState& state);
    void registerInto(CommandTable& table);

  private:
    SimReply getItemList(const SimRequest& request);
    SimReply addItemTemplate(const SimRequest& request);
    SimReply getItemTemplateList(const SimRequest& request);
    SimReply deleteItemTemplate(const SimRequest& request);
    SimReply deleteItem(const SimRequest& request);
    SimReply clearAllTemplate(const SimRequest& request);
    SimReply setSoldOutStatus(const SimRequest& request);
    SimReply setDeletionAllFlag(const SimRequest& request);
    SimReply clearDeletionAllFlag(const SimRequest& request);
    SimReply getDeletionAllProgress(const SimRequest& request);

    CameraState& state_;
};

}  // namespace korvane::CameraSim
