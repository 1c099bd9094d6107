// Queries that read the camera's state: recognition result, picture, products, device,
// settings, clock, synchronisation and templates.

#include <Poco/Exception.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <boost/json.hpp>
#include <cctype>

#include "camera_errors.h"
#include "json_reader.h"
#include "logger.h"
#include "pellix_driver.h"
#include "pellix_driver_request.h"

namespace korvane::Engine::Driver {

namespace json = boost::json;
namespace Json = Utils::Json;
namespace Models = Utils::Models;

namespace {

Json::ListLines dataListLines(const std::string& name) {
    return {name + "(): data is null, returning empty list",
            name + "(): unexpected type for field data"};
}

// Header names are case-insensitive; the client keeps them as the camera spelled them.
const std::string* findHeader(const REST::RawResponse& response, const std::string& name) {
    for (const auto& [key, value] : response.headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return &value;
        }
    }
    return nullptr;
}

}  // namespace

std::pair<int, std::string> PellixDriver::get_image(bool post) {
    // The picture is not a JSON answer, so the calling pattern does not apply; a lost camera
    // here is left for the JSON commands to notice.
    std::string failure;
    try {
        Log()->info("get_image() called;");
        const auto response =
            post ? client_.Post("/api/get_image", json::value(nullptr), timeouts_.standard)
                 : client_.Get("/api/get_image", timeouts_.standard);
        const auto* contentType = findHeader(response, "Content-Type");
        if (contentType != nullptr && contentType->find("application/json") != std::string::npos) {
            const auto reply = json::parse(response.body);
            const int code = Json::intMember(Json::asObject(reply, "reply"), "code");
            Log()->error("get_image() failed: error code = {};", code);
            // An error answer that claims success is still no picture.
            return {code != 0 ? code : (response.status != 200 ? response.status : 0), {}};
        }
        if (response.status != 200) {
            // An error page from the camera's web server must not pass for a picture.
            Log()->error("get_image() network failed: code = {};", response.status);
            return {response.status, {}};
        }
        Log()->info("get_image() completed: {} bytes received;", response.body.size());
        return {0, response.body};
    } catch (const Poco::Exception& e) {
        failure = e.displayText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    Log()->error("get_image() exception: {};", failure);
    return {static_cast<int>(Utils::Errors::CameraError::CameraLost), {}};
}

std::pair<int, std::vector<Models::GetItemRes>> PellixDriver::get_item_list(bool post) {
    auto call = request("get_item_list", post);
    call.timeout = timeouts_.itemList;
    return query<std::vector<Models::GetItemRes>>(call, [](const json::object& reply) {
        return Json::listMember<Models::GetItemRes>(
            reply, "data", dataListLines("get_item_list"), [](const json::value& element) {
                const auto& item = Json::asObject(element, "item");
                return Models::GetItemRes{Json::stringMember(item, "id"),
                                          Json::intMember(item, "count"),
                                          Json::optionalBool(item, "soldout")};
            });
    });
}

std::pair<int, Models::GetResultRes> PellixDriver::get_result(bool post) {
    return query<Models::GetResultRes>(request("get_result", post), [](const json::object& reply) {
        const auto& data = Json::objectMember(reply, "data");
        Models::GetResultRes result;
        result.items = Json::listMember<Models::GetResultItemRes>(
            data, "items",
            {"get_result(): items is null, returning empty item list",
             "get_result(): unexpected type for field items"},
            [](const json::value& element) {
                const auto& item = Json::asObject(element, "item");
                return Models::GetResultItemRes{Json::stringMember(item, "id"),
                                                Json::doubleMember(item, "score")};
            });
        result.sid = Json::stringMember(data, "sid");
        return result;
    });
}

std::pair<int, Models::GetDeviceInfoRes> PellixDriver::get_device_info(bool post) {
    return query<Models::GetDeviceInfoRes>(
        request("get_device_info", post), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            Models::GetDeviceInfoRes info;
            info.app = Json::stringMember(data, "app");
            info.engine = Json::stringMember(data, "engine");
            info.firmware = Json::stringMember(data, "firmware");
            info.item_count = Json::intMember(data, "item_count");
            info.learnMode = Json::intMember(data, "learnMode");
            info.masterIP = Json::stringMember(data, "masterIP");
            info.masterSN = Json::stringMember(data, "masterSN");
            info.soldOutLimit = Json::intMember(data, "soldOutLimit");
            info.max_result_num = Json::intMember(data, "max_result_num");
            info.predict_speed = Json::stringMember(data, "predict_speed");
            info.sn = Json::stringMember(data, "sn");
            info.sync = Json::stringMember(data, "sync");
            info.sync_mode = Json::stringMember(data, "sync_mode");
            info.upload = Json::boolMember(data, "upload");
            info.download = Json::boolMember(data, "download");
            info.sync_limit = Json::intMember(data, "sync_limit");
            info.board = Json::optionalString(data, "board").value_or("");
            info.mastersyncPort = Json::optionalString(data, "mastersyncPort").value_or("");
            return info;
        });
}

std::tuple<int, int, int, int, int> PellixDriver::get_calib(bool post) {
    const auto [code, area] =
        query<Models::SetCalibReq>(request("get_calib", post), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            return Models::SetCalibReq{Json::intMember(data, "left"), Json::intMember(data, "top"),
                                       Json::intMember(data, "width"),
                                       Json::intMember(data, "height")};
        });
    return {code, area.left, area.top, area.width, area.height};
}

std::pair<int, int> PellixDriver::get_learnmode(bool post) {
    return query<int>(request("get_learnmode", post), [](const json::object& reply) {
        return Json::intMember(Json::objectMember(reply, "data"), "mode");
    });
}

std::pair<int, Models::GetSyncStatusRes> PellixDriver::get_sync_status(bool post) {
    return query<Models::GetSyncStatusRes>(
        request("get_sync_status", post), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            Models::GetSyncStatusRes status{Json::intMember(data, "count"),
                                            Json::stringMember(data, "message"),
                                            Json::stringMember(data, "synctime")};
            Log()->info("get_sync_status() completed; count: {}, message: {}, synctime: {};",
                        status.count, status.message, status.synctime);
            return status;
        });
}

std::pair<int, int> PellixDriver::get_sync_limit() {
    return query<int>(request("get_sync_limit"), [](const json::object& reply) {
        const int limit = Json::intMember(Json::objectMember(reply, "data"), "limit");
        Log()->info("get_sync_limit() completed; limit: {};", limit);
        return limit;
    });
}

std::pair<int, Models::GetSuperiorRes> PellixDriver::get_superior() {
    return query<Models::GetSuperiorRes>(
        request("get_superior", false), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            return Models::GetSuperiorRes{Json::stringMember(data, "sn"),
                                          Json::stringMember(data, "ip")};
        });
}

std::pair<int, Models::GetExtraInfoRes> PellixDriver::get_extra_info() {
    return query<Models::GetExtraInfoRes>(
        request("get_extra_info", false), [](const json::object& reply) {
            Models::GetExtraInfoRes info;
            // A camera without store details answers data null (or leaves it out).
            const auto* data = reply.if_contains("data");
            if (data != nullptr && data->is_object()) {
                const auto& store = data->get_object();
                info.store_name = Json::optionalString(store, "store_name");
                info.store_id = Json::optionalString(store, "store_id");
                info.store_dep = Json::optionalString(store, "store_dep");
            }
            return info;
        });
}

std::tuple<int, int, int> PellixDriver::get_time() {
    const auto [code, time] =
        query<Models::SetTimeReq>(request("get_time", false), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            return Models::SetTimeReq{Json::intMember(data, "sec"), Json::intMember(data, "usec")};
        });
    return {code, time.sec, time.usec};
}

std::pair<int, Models::GetBoardInfoRes> PellixDriver::get_board_info() {
    return query<Models::GetBoardInfoRes>(
        request("get_board_info", false), [](const json::object& reply) {
            const auto& data = Json::objectMember(reply, "data");
            return Models::GetBoardInfoRes{
                Json::stringMember(data, "board"),  Json::stringMember(data, "clientID"),
                Json::stringMember(data, "engine"), Json::stringMember(data, "firmware"),
                Json::stringMember(data, "sn"),     Json::stringMember(data, "syncMode")};
        });
}

std::pair<int, std::vector<Models::GetDeletionAllProgressItemRes>>
PellixDriver::get_deletion_all_progress() {
    using Item = Models::GetDeletionAllProgressItemRes;
    return query<std::vector<Item>>(
        request("get_deletion_all_progress", false), [](const json::object& reply) {
            return Json::listMember<Item>(
                reply, "data", dataListLines("get_deletion_all_progress"),
                [](const json::value& element) {
                    const auto& item = Json::asObject(element, "item");
                    Item progress;
                    progress.id = Json::stringMember(item, "id");
                    for (const auto& sn : Json::arrayMember(item, "SNs")) {
                        progress.SNs.push_back(Json::asString(sn, "serial number"));
                    }
                    return progress;
                });
        });
}

std::tuple<int, std::vector<std::string>, int> PellixDriver::get_item_template_list(
    const Models::GetItemTemplateListReq& req) {
    auto call = request("get_item_template_list");
    call.body = json::object{{"id", req.id}};
    call.calledLine = fmt::format("get_item_template_list() called with id: {};", req.id);
    using Templates = std::pair<std::vector<std::string>, int>;
    auto [code, templates] = query<Templates>(call, [](const json::object& reply) {
        auto ids = Json::listMember<std::string>(
            reply, "data", {"", "get_item_template_list() unexpected data type;"},
            [](const json::value& element) { return Json::asString(element, "template id"); });
        const int max = Json::intMember(reply, "max");
        Log()->info("get_item_template_list() completed, max={}, data=[{}];", max,
                    fmt::join(ids, ", "));
        return Templates{std::move(ids), max};
    });
    return {code, std::move(templates.first), templates.second};
}

}  // namespace korvane::Engine::Driver
