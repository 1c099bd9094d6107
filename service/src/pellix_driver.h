#pragma once
// The Agent's only way to the scale's AI recognition camera module: every camera command is
// one HTTP exchange that ends in a code (0, a negative camera code, a positive HTTP status, or
// -6103 when the exchange failed) and, for queries, the parsed answer. It also tracks whether
// the camera answers and queues an alert when it stops. Shared by pointer between the local
// API handlers, the device data provider and the task handlers; every operation may be called
// from any thread at once, and none of them throws.

#include <boost/json/fwd.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "models_device.h"
#include "models_items.h"
#include "models_recognition.h"
#include "models_sync.h"
#include "raw_response.h"
#include "rest_client.h"

namespace korvane::Engine::DB {
class SQLiteDB;
}

// Records of the transfer jobs (models_transfer.h); only callers of those operations need them.
namespace korvane::Utils::Models {
struct ExportTemplateReq;
struct ImportTemplateReq;
struct OfflineUpgradeReq;
struct ExportTemplateStatusRes;
struct ImportTemplateStatusRes;
struct OfflineUpgradeStatusRes;
}  // namespace korvane::Utils::Models

namespace korvane::Engine::Driver {

class PellixDriver {
  public:
    // How long one exchange may take (connect, send and receive each). Tests shorten them.
    struct Timeouts {
        std::chrono::milliseconds standard{6000};
        std::chrono::milliseconds itemList{10000};   // the camera walks its whole product list
        std::chrono::milliseconds syncSlave{15000};  // the camera first contacts its master
    };

    // Lock order: the driver's state mutex, then dbMutex. dbMutex guards db; the driver takes
    // it only to queue a connection-loss alert. Throws std::invalid_argument for a bad address.
    PellixDriver(const std::string& ip, int port, std::mutex& dbMutex, DB::SQLiteDB& db);
    PellixDriver(const std::string& ip, int port, std::mutex& dbMutex, DB::SQLiteDB& db,
                 const Timeouts& timeouts);
    PellixDriver(const PellixDriver&) = delete;
    PellixDriver& operator=(const PellixDriver&) = delete;

    // Sets the client's shared default timeout back to the standard one. Each operation
    // passes its own timeout with its request, so none of them depends on this value.
    void reset_timeout();
    // Records the outcome of an exchange of `command`. On the change from connected to not
    // connected it logs the loss and queues one alert (code 400) naming the command.
    void save_connect_state(const std::string& command, bool ok);
    // Whether the last camera exchange got a usable answer: any HTTP status counts, a reply
    // that cannot be read does not. True before the first exchange.
    bool isConnected() const;

    // ---- Queries. `post` chooses POST with the body null (true) or GET (false). The data is
    // filled only when the code is 0.
    // Code 0 with the camera's picture as sent, or a non-zero code with no bytes.
    std::pair<int, std::string> get_image(bool post);
    std::pair<int, std::vector<Utils::Models::GetItemRes>> get_item_list(bool post);
    std::pair<int, Utils::Models::GetResultRes> get_result(bool post);
    std::pair<int, Utils::Models::GetDeviceInfoRes> get_device_info(bool post);
    // code, left, top, width, height
    std::tuple<int, int, int, int, int> get_calib(bool post);
    // code, mode
    std::pair<int, int> get_learnmode(bool post);
    std::pair<int, Utils::Models::GetSyncStatusRes> get_sync_status(bool post);
    // code, limit
    std::pair<int, int> get_sync_limit();
    std::pair<int, Utils::Models::GetSuperiorRes> get_superior();
    std::pair<int, Utils::Models::GetExtraInfoRes> get_extra_info();
    // code, sec, usec
    std::tuple<int, int, int> get_time();
    std::pair<int, Utils::Models::GetBoardInfoRes> get_board_info();
    std::pair<int, std::vector<Utils::Models::GetDeletionAllProgressItemRes>>
    get_deletion_all_progress();
    // code, template ids, the most templates the product may have
    std::tuple<int, std::vector<std::string>, int> get_item_template_list(
        const Utils::Models::GetItemTemplateListReq& req);

    // ---- Settings and control. Each returns the code.
    int result_feedback(const Utils::Models::RecognitionInfo& req);  // sends sid and id only
    int set_sync_master(const Utils::Models::SetSyncMasterReq& req);
    int set_sync_slave(const Utils::Models::SetSyncSlaveReq& req);
    int set_sync_normal(const Utils::Models::SetSyncNormalReq& req);
    int set_max_result(const Utils::Models::SetMaxResultReq& req);
    int set_time(const Utils::Models::SetTimeReq& req);
    int set_extra_info(const Utils::Models::SetExtraInfoReq& req);
    int set_calib(const Utils::Models::SetCalibReq& req);
    int set_sold_out_status(const Utils::Models::SetSoldOutStatusReq& req);
    int set_superior(const Utils::Models::SetSuperiorReq& req);
    int delete_item_template(const Utils::Models::DeleteItemTemplateReq& req);
    int set_learnmode(const Utils::Models::SetLearnmodeReq& req);
    int set_sync_limit(const Utils::Models::SetSyncLimitReq& req);
    int set_sold_out_limit(const Utils::Models::SetSoldOutLimitReq& req);
    int set_deletion_all_flag(const Utils::Models::SetDeletionAllFlagReq& req);
    int delete_item(const Utils::Models::DeleteItemReq& req);
    int set_predict_speed(const Utils::Models::SetPredictSpeedReq& req);
    int clear_deletion_all_flag(const Utils::Models::ClearDeletionAllFlagReq& req);
    int clear_all_template();
    int manual_sync();
    int reset_device();
    int reboot();
    int enable_internet_once();
    std::pair<int, Utils::Models::AddItemTemplateRes> add_item_template(
        const Utils::Models::AddItemTemplateReq& req);

    // ---- Template transfer and firmware upgrade (pellix_driver_transfer.cpp). Jobs run on
    // the camera; the status operations report their progress.
    int export_template(const Utils::Models::ExportTemplateReq& req);
    std::pair<int, Utils::Models::ExportTemplateStatusRes> export_template_status();
    int import_template(const Utils::Models::ImportTemplateReq& req);
    std::pair<int, Utils::Models::ImportTemplateStatusRes> import_template_status();
    // restore: upload a backup instead of a firmware package.
    int offline_upgrade(const Utils::Models::OfflineUpgradeReq& req, bool restore);
    std::pair<int, Utils::Models::OfflineUpgradeStatusRes> offline_upgrade_status(bool restore);
    // Code 0 with the archive in the response body; -6207 for any failure. Leaves the
    // connection state alone.
    std::pair<int, REST::RawResponse> download_template(const std::string& file);

  private:
    // One camera command as the calling pattern sends it (pellix_driver_request.h).
    struct Request;
    // Reads what a query needs from the camera's reply object; throws on anything unexpected.
    using ReplyReader = std::function<void(const boost::json::object&)>;

    // A POST (or, with post false, a GET) of "/api/<name>" with the standard timeout.
    Request request(std::string name, bool post = true) const;
    // The shared calling pattern: logs the call, sends, records the connection state, checks
    // the status, takes the camera's "code" and, when it is 0, hands the reply to `read`.
    // Exchanges that fail, and replies that are not what was expected, give -6103 and mark
    // the camera lost. A non-zero camera code is logged as a failure when `read` is set.
    // Never throws.
    int perform(const Request& request, const ReplyReader& read = nullptr);
    // perform() for a query whose data is built by `read`; on failure the data stays empty.
    template <class T, class Read>
    std::pair<int, T> query(const Request& request, Read read) {
        T result{};
        const int code =
            perform(request, [&](const boost::json::object& reply) { result = read(reply); });
        if (code != 0) {
            return {code, T{}};
        }
        return {code, std::move(result)};
    }

    const std::string ip_;
    const int port_;
    const Timeouts timeouts_;
    REST::RestClient client_;
    std::mutex& dbMutex_;
    DB::SQLiteDB& db_;
    mutable std::mutex stateMutex_;
    bool connected_ = true;  // guarded by stateMutex_
};

}  // namespace korvane::Engine::Driver
