#pragma once
// Records of the synchronisation between several cameras: the camera's role (master, slave or
// normal), its superior device, limits and the state of the last synchronisation. Plain values
// named after the camera's JSON members; copied freely between threads.

#include <optional>
#include <string>

namespace korvane::Utils::Models {

struct SetSyncMasterReq {
    bool upload = false;
    bool download = false;
};

struct SetSyncSlaveReq {
    bool upload = false;
    bool download = false;
    std::string masterIP;
    std::optional<std::string> mastersyncPort;  // sent only when set
};

struct SetSyncNormalReq {
    bool upload = false;
    bool download = false;
};

struct SetSyncLimitReq {
    int limit = 0;
};

struct SetSuperiorReq {
    std::string sn;
    std::string ip;
};

struct GetSuperiorRes {
    std::string sn;
    std::string ip;
};

struct GetSyncStatusRes {
    int count = 0;
    std::string message;
    std::string synctime;
};

}  // namespace korvane::Utils::Models
