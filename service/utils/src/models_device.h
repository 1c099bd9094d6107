#pragma once
// Records of the camera's device-level commands: device, board and store information, clock,
// calibration area, result count, learning mode and prediction speed. Plain values named after
// the camera's JSON members; copied freely between threads.

#include <optional>
#include <string>

namespace korvane::Utils::Models {

struct GetDeviceInfoRes {
    std::string app;
    std::string engine;
    std::string firmware;
    int item_count = 0;
    int learnMode = 0;
    std::string masterIP;
    std::string masterSN;
    int soldOutLimit = 0;
    int max_result_num = 0;
    std::string predict_speed;
    std::string sn;
    std::string sync;
    std::string sync_mode;
    bool upload = false;
    bool download = false;
    int sync_limit = 0;
    // Older firmware omits the next two; they stay empty then.
    std::string board;
    std::string mastersyncPort;
};

struct GetBoardInfoRes {
    std::string board;
    std::string clientID;
    std::string engine;
    std::string firmware;
    std::string sn;
    std::string syncMode;
};

// Store details; a member the camera does not report stays absent.
struct GetExtraInfoRes {
    std::optional<std::string> store_name;
    std::optional<std::string> store_id;
    std::optional<std::string> store_dep;
};

// Only the members that hold a value are sent.
struct SetExtraInfoReq {
    std::optional<std::string> store_name;
    std::optional<std::string> store_id;
    std::optional<std::string> store_dep;
};

struct SetMaxResultReq {
    int num = 0;
};

struct SetTimeReq {
    int sec = 0;
    int usec = 0;
};

struct SetCalibReq {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct SetLearnmodeReq {
    int mode = 0;
};

struct SetPredictSpeedReq {
    std::string speed;
};

}  // namespace korvane::Utils::Models
