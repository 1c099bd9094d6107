// Operations that change the camera: feedback, synchronisation roles and limits, clock,
// calibration, store details, sold-out data, products and templates, and device control.

#include <fmt/format.h>

#include <boost/json.hpp>
#include <optional>

#include "json_reader.h"
#include "logger.h"
#include "pellix_driver.h"
#include "pellix_driver_request.h"

namespace korvane::Engine::Driver {

namespace json = boost::json;
namespace Json = Utils::Json;
namespace Models = Utils::Models;

namespace {

// How an optional field appears in a called line.
std::string orNull(const std::optional<std::string>& value) {
    return value.value_or("null");
}

void putIfSet(json::object& object, std::string_view key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

}  // namespace

int PellixDriver::result_feedback(const Models::RecognitionInfo& req) {
    auto call = request("result_feedback");
    call.body = json::object{{"sid", req.sid}, {"id", req.id}};
    call.calledLine = fmt::format("result_feedback() called with sid: {},id: {};", req.sid, req.id);
    return perform(call);
}

int PellixDriver::set_sync_master(const Models::SetSyncMasterReq& req) {
    auto call = request("set_sync_master");
    call.body = json::object{{"upload", req.upload}, {"download", req.download}};
    call.calledLine = fmt::format("set_sync_master() called with upload: {}, download: {};",
                                  req.upload, req.download);
    return perform(call);
}

int PellixDriver::set_sync_slave(const Models::SetSyncSlaveReq& req) {
    auto call = request("set_sync_slave");
    json::object body{
        {"upload", req.upload}, {"download", req.download}, {"masterIP", req.masterIP}};
    putIfSet(body, "mastersyncPort", req.mastersyncPort);
    call.body = std::move(body);
    call.timeout = timeouts_.syncSlave;
    call.calledLine = fmt::format(
        "set_sync_slave() called with upload: {}, download: {}, masterIP: {}; mastersyncPort:{}",
        req.upload, req.download, req.masterIP, orNull(req.mastersyncPort));
    return perform(call);
}

int PellixDriver::set_sync_normal(const Models::SetSyncNormalReq& req) {
    auto call = request("set_sync_normal");
    call.body = json::object{{"upload", req.upload}, {"download", req.download}};
    call.calledLine = fmt::format("set_sync_normal() called with upload: {}, download: {};",
                                  req.upload, req.download);
    return perform(call);
}

int PellixDriver::set_max_result(const Models::SetMaxResultReq& req) {
    auto call = request("set_max_result");
    call.body = json::object{{"num", req.num}};
    call.calledLine = fmt::format("set_max_result() called with num: {};", req.num);
    return perform(call);
}

int PellixDriver::set_time(const Models::SetTimeReq& req) {
    auto call = request("set_time");
    call.body = json::object{{"sec", req.sec}, {"usec", req.usec}};
    call.calledLine = fmt::format("set_time() called with sec: {}, usec: {};", req.sec, req.usec);
    return perform(call);
}

int PellixDriver::set_extra_info(const Models::SetExtraInfoReq& req) {
    auto call = request("set_extra_info");
    json::object body;
    putIfSet(body, "store_name", req.store_name);
    putIfSet(body, "store_id", req.store_id);
    putIfSet(body, "store_dep", req.store_dep);
    call.body = std::move(body);
    call.calledLine =
        fmt::format("set_extra_info() called with store_name: {}, store_id: {}, store_dep: {};",
                    orNull(req.store_name), orNull(req.store_id), orNull(req.store_dep));
    return perform(call);
}

int PellixDriver::set_calib(const Models::SetCalibReq& req) {
    auto call = request("set_calib");
    call.body = json::object{
        {"left", req.left}, {"top", req.top}, {"width", req.width}, {"height", req.height}};
    call.calledLine =
        fmt::format("set_calib() called with left: {}, top: {}, width: {}, height: {};", req.left,
                    req.top, req.width, req.height);
    return perform(call);
}

int PellixDriver::set_sold_out_status(const Models::SetSoldOutStatusReq& req) {
    auto call = request("set_sold_out_status");
    call.body = json::object{{"id", req.id}, {"soldout", req.soldout}};
    call.calledLine =
        fmt::format("set_sold_out_status() called with id: {}, soldout: {};", req.id, req.soldout);
    return perform(call);
}

int PellixDriver::set_superior(const Models::SetSuperiorReq& req) {
    auto call = request("set_superior");
    call.body = json::object{{"sn", req.sn}, {"ip", req.ip}};
    call.calledLine = fmt::format("set_superior() called with sn: {} ip: {};", req.sn, req.ip);
    return perform(call);
}

int PellixDriver::delete_item_template(const Models::DeleteItemTemplateReq& req) {
    auto call = request("delete_item_template");
    call.body = json::object{{"id", req.id}, {"sid", req.sid}};
    call.calledLine =
        fmt::format("delete_item_template() called with id: {}, sid: {};", req.id, req.sid);
    return perform(call);
}

int PellixDriver::set_learnmode(const Models::SetLearnmodeReq& req) {
    auto call = request("set_learnmode");
    call.body = json::object{{"mode", req.mode}};
    call.calledLine = fmt::format("set_learnmode() called with mode: {};", req.mode);
    return perform(call);
}

int PellixDriver::set_sync_limit(const Models::SetSyncLimitReq& req) {
    auto call = request("set_sync_limit");
    call.body = json::object{{"limit", req.limit}};
    call.calledLine = fmt::format("set_sync_limit() called with limit: {};", req.limit);
    return perform(call);
}

int PellixDriver::set_sold_out_limit(const Models::SetSoldOutLimitReq& req) {
    auto call = request("set_sold_out_limit");
    call.body = json::object{{"day", req.day}};
    call.calledLine = fmt::format("set_sold_out_limit() called with day: {};", req.day);
    return perform(call);
}

int PellixDriver::set_deletion_all_flag(const Models::SetDeletionAllFlagReq& req) {
    auto call = request("set_deletion_all_flag");
    call.body = json::object{{"id", req.id}};
    call.calledLine = fmt::format("set_deletion_all_flag() called with id: {};", req.id);
    return perform(call);
}

int PellixDriver::delete_item(const Models::DeleteItemReq& req) {
    auto call = request("delete_item");
    call.body = json::object{{"id", req.id}};
    call.calledLine = fmt::format("delete_item() called with id: {};", req.id);
    return perform(call);
}

int PellixDriver::set_predict_speed(const Models::SetPredictSpeedReq& req) {
    auto call = request("set_predict_speed");
    call.body = json::object{{"speed", req.speed}};
    call.calledLine = fmt::format("set_predict_speed() called with speed: {};", req.speed);
    return perform(call);
}

int PellixDriver::clear_deletion_all_flag(const Models::ClearDeletionAllFlagReq& req) {
    auto call = request("clear_deletion_all_flag");
    call.body = json::object{{"id", req.id}};
    call.calledLine = fmt::format("clear_deletion_all_flag() called with id: {};", req.id);
    return perform(call);
}

int PellixDriver::clear_all_template() {
    return perform(request("clear_all_template"));
}

int PellixDriver::manual_sync() {
    return perform(request("manual_sync"));
}

int PellixDriver::reset_device() {
    return perform(request("reset_device"));
}

int PellixDriver::reboot() {
    return perform(request("reboot"));
}

int PellixDriver::enable_internet_once() {
    return perform(request("enable_internet_once"));
}

std::pair<int, Models::AddItemTemplateRes> PellixDriver::add_item_template(
    const Models::AddItemTemplateReq& req) {
    auto call = request("add_item_template");
    call.body = json::object{{"id", req.id}};
    call.calledLine = fmt::format("add_item_template() called with id: {};", req.id);
    return query<Models::AddItemTemplateRes>(call, [](const json::object& reply) {
        const auto& data = Json::objectMember(reply, "data");
        Models::AddItemTemplateRes result{Json::stringMember(data, "sid"),
                                          Json::stringMember(data, "image")};
        Log()->info("add_item_template() completed; sid={};", result.sid);
        return result;
    });
}

}  // namespace korvane::Engine::Driver
