#pragma once
// Records of the camera's file jobs: template export and import, firmware upgrade and restore,
// with the status each job reports while it runs. Plain values named after the camera's JSON
// members; copied freely between threads.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera_errors.h"
#include "file_slice.h"

namespace korvane::Utils::Models {

struct ExportTemplateReq {
    std::vector<std::string> ids;  // empty: every product
};

struct ImportTemplateReq {
    std::vector<std::uint8_t> file{};                           // a ".evo" file, passed on as it is
    std::vector<std::pair<std::string, std::string>> params{};  // extra form fields, in order
    std::optional<FileSlice> stored{};                          // when set, sent instead of `file`
};

// A firmware package, or a backup when the upload starts a restore.
struct OfflineUpgradeReq {
    std::vector<std::uint8_t> file{};
    std::optional<FileSlice> stored{};  // when set, sent instead of `file`
};

struct ExportTemplateStatusRes {
    std::string msg;
    std::string filename;  // the finished archive on the camera, for download_template
    Errors::ExportStatus status = Errors::ExportStatus::None;
};

struct ImportTemplateStatusRes {
    std::string msg;
    Errors::ImportStatus status = Errors::ImportStatus::None;
};

struct OfflineUpgradeStatusRes {
    std::string msg;
    Errors::UpgradeStatus status = Errors::UpgradeStatus::None;
};

}  // namespace korvane::Utils::Models
