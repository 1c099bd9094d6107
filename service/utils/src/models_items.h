#pragma once
// Records of the camera's product and template commands: the product list, sold-out data,
// per-product templates and the fleet-wide deletion flags. Plain values named after the
// camera's JSON members; copied freely between threads.

#include <optional>
#include <string>
#include <vector>

namespace korvane::Utils::Models {

struct GetItemRes {
    std::string id;
    int count = 0;
    std::optional<bool> soldout;  // absent when the camera does not report it
};

struct GetDeletionAllProgressItemRes {
    std::string id;
    std::vector<std::string> SNs;  // serial numbers of the cameras that still hold the product
};

struct GetItemTemplateListReq {
    std::string id;
};

struct AddItemTemplateReq {
    std::string id;
};

struct AddItemTemplateRes {
    std::string sid;
    std::string image;  // the new template's picture as the camera encodes it in JSON
};

struct DeleteItemTemplateReq {
    std::string id;
    std::string sid;
};

struct DeleteItemReq {
    std::string id;
};

struct SetSoldOutStatusReq {
    std::string id;
    bool soldout = false;
};

struct SetSoldOutLimitReq {
    int day = 0;
};

struct SetDeletionAllFlagReq {
    std::string id;
};

struct ClearDeletionAllFlagReq {
    std::string id;
};

}  // namespace korvane::Utils::Models
