// Template transfer and firmware upgrade: the camera's long-running file jobs (template export
// and import, firmware upgrade, restore of a backup), their status commands, and the download
// of an exported template archive.

#include <Poco/Exception.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <boost/json.hpp>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "camera_errors.h"
#include "json_reader.h"
#include "logger.h"
#include "models_transfer.h"
#include "pellix_driver.h"
#include "pellix_driver_request.h"

namespace korvane::Engine::Driver {

namespace json = boost::json;
namespace Json = Utils::Json;
namespace Models = Utils::Models;

namespace {

template <class Req>
const Utils::FileSlice* storedFile(const Req& req) {
    return req.stored ? &*req.stored : nullptr;
}

template <class Req>
std::uint64_t fileSize(const Req& req) {
    return req.stored ? req.stored->length : req.file.size();
}

// The camera's job status is one byte; anything else is not a status it can report, and
// narrowing it could turn garbage into "completed".
template <class Status>
Status statusMember(const json::object& reply) {
    const std::int64_t value = Json::int64Member(reply, "status");
    if (value < 0 || value > 255) {
        throw std::runtime_error(fmt::format("status out of range: {}", value));
    }
    return static_cast<Status>(value);
}

// The camera names the archive itself, but the name also arrives through the local API's
// /download/<name>. The HTTP client decodes and normalises paths, so a name that could leave
// the download folder ("..", "/", percent escapes) or split the URL is refused, not escaped.
bool isSafeFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F ||
            std::string_view("/\\?#%").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

int PellixDriver::export_template(const Models::ExportTemplateReq& req) {
    auto call = request("export_template");
    json::array ids;
    for (const auto& id : req.ids) ids.emplace_back(id);
    call.body = json::object{{"ids", std::move(ids)}};
    call.calledLine = req.ids.empty() ? std::string("export_template() called with no ids;")
                                      : fmt::format("export_template() called with ids: [{}];",
                                                    fmt::join(req.ids, ", "));
    return perform(call);
}

std::pair<int, Models::ExportTemplateStatusRes> PellixDriver::export_template_status() {
    // The job's members sit beside "code", not inside "data".
    return query<Models::ExportTemplateStatusRes>(
        request("export_template_status", false), [](const json::object& reply) {
            Models::ExportTemplateStatusRes res;
            res.msg = Json::stringMember(reply, "msg");
            res.filename = Json::stringMember(reply, "filename");
            res.status = statusMember<Utils::Errors::ExportStatus>(reply);
            Log()->info("export_template_status() completed; msg={}, filename={}, status={};",
                        res.msg, res.filename, static_cast<int>(res.status));
            return res;
        });
}

int PellixDriver::import_template(const Models::ImportTemplateReq& req) {
    auto call = request("import_template");
    call.upload =
        Request::Upload{"file", "import_template.evo", &req.file, storedFile(req), req.params};
    call.calledLine = fmt::format("import_template() called with file size: {};", fileSize(req));
    return perform(call);
}

std::pair<int, Models::ImportTemplateStatusRes> PellixDriver::import_template_status() {
    return query<Models::ImportTemplateStatusRes>(
        request("import_template_status", false), [](const json::object& reply) {
            Models::ImportTemplateStatusRes res;
            res.msg = Json::stringMember(reply, "msg");
            res.status = statusMember<Utils::Errors::ImportStatus>(reply);
            Log()->info("import_template_status() completed; msg={}, status={};", res.msg,
                        static_cast<int>(res.status));
            return res;
        });
}

int PellixDriver::offline_upgrade(const Models::OfflineUpgradeReq& req, bool restore) {
    auto call = request(restore ? "start_restore" : "offline_upgrade");
    call.upload = Request::Upload{"file", "offline_upgrade.evo", &req.file, storedFile(req), {}};
    call.calledLine = fmt::format("{}() called with file size: {};", call.name, fileSize(req));
    return perform(call);
}

std::pair<int, Models::OfflineUpgradeStatusRes> PellixDriver::offline_upgrade_status(bool restore) {
    // The restore status is asked with POST null, the upgrade status with GET.
    auto call =
        restore ? request("get_restore_status", true) : request("offline_upgrade_status", false);
    return query<Models::OfflineUpgradeStatusRes>(
        call, [&name = call.name](const json::object& reply) {
            Models::OfflineUpgradeStatusRes res;
            res.msg = Json::stringMember(reply, "msg");
            res.status = statusMember<Utils::Errors::UpgradeStatus>(reply);
            Log()->info("{}() completed; msg={}, status={};", name, res.msg,
                        static_cast<int>(res.status));
            return res;
        });
}

std::pair<int, REST::RawResponse> PellixDriver::download_template(const std::string& file) {
    constexpr int kFailed = static_cast<int>(Utils::Errors::CameraError::NetworkError);
    std::string failure;
    try {
        Log()->info("download_template() called with file: {};", file);
        if (!isSafeFileName(file)) {
            Log()->error("download_template() refused file name: {};", file);
            REST::RawResponse refused;
            refused.status = 400;
            refused.reason = "Bad Request";
            return {kFailed, std::move(refused)};
        }
        auto response = client_.GetRaw("/download/" + file, timeouts_.standard);
        Log()->info("download_template() completed, response size: {};", response.body.size());
        if (response.status != 200) {
            Log()->error("download_template() network failed: code = {};", response.status);
            return {kFailed, std::move(response)};
        }
        return {0, std::move(response)};
    } catch (const Poco::Exception& e) {
        failure = e.displayText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    // Status 0 tells the caller that the camera never answered (refused, reset, timed out),
    // unlike a camera that answered with an error status. The connection state is left to the
    // JSON commands.
    Log()->error("download_template() exception: {};", failure);
    return {kFailed, REST::RawResponse{}};
}

}  // namespace korvane::Engine::Driver
