// The camera's long-running file jobs: template export (with the archive then offered under
// /download/<name>), template import, offline firmware upgrade and restore, each started by one
// request and followed through its status command. Built and owned by CameraSimulator; handlers
// run on request threads and keep every job in CameraState.
#pragma once

#include <string>

#include "camera_state.h"
#include "command_table.h"

namespace korvane::CameraSim {

class TransferJobs {
  public:
    // `exportDir`, when not empty, also receives a copy of every finished export archive.
    TransferJobs(CameraState& state, std::string exportDir);
    void registerInto(CommandTable& table);

    // GET /download/<name>: a finished export archive, or 404.
    SimReply download(const std::string& name);

  private:
    SimReply exportTemplate(const SimRequest& request);
    SimReply exportTemplateStatus(const SimRequest& request);
    SimReply importTemplate(const SimRequest& request);
    SimReply importTemplateStatus(const SimRequest& request);
    SimReply offlineUpgrade(const SimRequest& request);
    SimReply offlineUpgradeStatus(const SimRequest& request);
    SimReply startRestore(const SimRequest& request);
    SimReply getRestoreStatus(const SimRequest& request);

    SimReply startUpload(const SimRequest& request, JobKind kind);
    SimReply jobStatus(JobKind kind, bool withFilename);

    CameraState& state_;
    const std::string exportDir_;
};

}  // namespace korvane::CameraSim
