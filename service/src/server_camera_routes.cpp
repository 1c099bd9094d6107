// The camera commands of the local API: /api/<command>, the image route, the template download
// route and the multipart uploads.
#include <Poco/JSON/Object.h>

#include "camera_handlers.h"
#include "logger.h"
#include "pellix_driver.h"
#include "recognition_handlers.h"
#include "responses.h"
#include "server.h"

namespace korvane::Engine::Test {

namespace {

using Utils::CameraDriverPtr;
using Envelope = Poco::JSON::Object::Ptr;
using PlainHandler = Envelope (*)(const CameraDriverPtr&);
using PostFlagHandler = Envelope (*)(const CameraDriverPtr&, bool);
using BodyHandler = Envelope (*)(const Poco::JSON::Object::Ptr&, const CameraDriverPtr&);
using NoticeHandler = Envelope (*)(const Poco::JSON::Object::Ptr&, const CameraDriverPtr&,
                                   const Utils::ChangeNotice&);

const std::set<std::string> kGet = {"GET"};
const std::set<std::string> kPost = {"POST"};
const std::set<std::string> kGetPost = {"GET", "POST"};

constexpr int kCameraLost = -6103;

ApiReply envelope(const Envelope& object) {
    return ApiReply::json(Utils::toJsonText(object));
}

}  // namespace

void Server::registerCameraRoutes() {
    // Every camera handler gets its own copy of the driver pointer; without a driver (a camera
    // address that could not be used) the camera counts as lost.
    auto withDriver = [this](auto call) {
        return [this, call](const ApiRequest& r) {
            auto camera = driver();
            if (!camera) return envelope(Utils::get_empty_response(kCameraLost));
            return envelope(call(r, camera));
        };
    };
    auto plain = [&](const char* name, const std::set<std::string>& methods, PlainHandler h) {
        router_.addCommand(
            name, methods,
            withDriver([h](const ApiRequest&, const CameraDriverPtr& d) { return h(d); }));
    };
    auto postFlag = [&](const char* name, PostFlagHandler h) {
        router_.addCommand(name, kGetPost,
                           withDriver([h](const ApiRequest& r, const CameraDriverPtr& d) {
                               return h(d, r.method == "POST");
                           }));
    };
    auto json = [&](const char* name, BodyHandler h) {
        router_.addCommand(name, kPost,
                           withDriver([h](const ApiRequest& r, const CameraDriverPtr& d) {
                               return h(Utils::parseJsonObject(r.body), d);
                           }));
    };
    auto noticed = [&](const char* name, NoticeHandler h) {
        router_.addCommand(
            name, kPost, withDriver([this, h](const ApiRequest& r, const CameraDriverPtr& d) {
                return h(Utils::parseJsonObject(r.body), d, [this] { notifyAttributesChanged(); });
            }));
    };

    json("add_item_template", Utils::process_add_item_template);
    json("get_item_template_list", Utils::process_get_item_template_list);
    json("delete_item_template", Utils::process_delete_item_template);
    postFlag("get_item_list", Utils::process_get_item_list);
    json("delete_item", Utils::process_delete_item);
    plain("clear_all_template", kPost, Utils::process_clear_all_template);
    json("export_template", Utils::process_export_template);
    plain("export_template_status", kGet, Utils::process_export_template_status);
    plain("import_template_status", kGet, Utils::process_import_template_status);
    json("set_deletion_all_flag", Utils::process_set_deletion_all_flag);
    json("clear_deletion_all_flag", Utils::process_clear_deletion_all_flag);
    plain("get_deletion_all_progress", kGet, Utils::process_get_deletion_all_progress);
    noticed("set_sync_normal", Utils::process_set_sync_normal);
    noticed("set_sync_master", Utils::process_set_sync_master);
    noticed("set_sync_slave", Utils::process_set_sync_slave);
    plain("manual_sync", kPost, Utils::process_manual_sync);
    postFlag("get_sync_status", Utils::process_get_sync_status);
    plain("get_sync_limit", kPost, Utils::process_get_sync_limit);
    noticed("set_sync_limit", Utils::process_set_sync_limit);
    plain("get_superior", kGet, Utils::process_get_superior);
    json("set_superior", Utils::process_set_superior);
    noticed("set_predict_speed", Utils::process_set_predict_speed);
    noticed("set_max_result", Utils::process_set_max_result);
    json("set_time", Utils::process_set_time);
    postFlag("get_device_info", Utils::process_get_device_info);
    noticed("set_extra_info", Utils::process_set_extra_info);
    plain("get_extra_info", kGet, Utils::process_get_extra_info);
    json("set_calib", Utils::process_set_calib);
    postFlag("get_calib", Utils::process_get_calib);
    plain("reset_device", kPost, Utils::process_reset_device);
    plain("reboot", kPost, Utils::process_reboot);
    plain("enable_internet_once", kPost, Utils::process_enable_internet_once);
    noticed("set_sold_out_limit", Utils::process_set_sold_out_limit);
    noticed("set_learnmode", Utils::process_set_learnmode);
    postFlag("get_learnmode", Utils::process_get_learnmode);
    json("set_sold_out_status", Utils::process_set_sold_out_status);
    plain("get_time", kGet, Utils::process_get_time);
    plain("get_board_info", kGet, Utils::process_get_board_info);
    router_.addCommand("offline_upgrade_status", kGet,
                       withDriver([](const ApiRequest&, const CameraDriverPtr& d) {
                           return Utils::process_offline_upgrade_status(d, false);
                       }));
    router_.addCommand("get_restore_status", kPost,
                       withDriver([](const ApiRequest&, const CameraDriverPtr& d) {
                           return Utils::process_offline_upgrade_status(d, true);
                       }));

    auto uploadRoute = [this](auto send) {
        return [this, send](const ApiRequest& r) {
            return upload(r, [&](const std::string& boundary) {
                auto camera = driver();
                if (!camera) return envelope(Utils::get_empty_response(kCameraLost));
                return envelope(send(r.bodyFd, boundary, camera));
            });
        };
    };
    router_.addUploadCommand(
        "import_template", kPost,
        uploadRoute([](int bodyFd, const std::string& boundary, const CameraDriverPtr& d) {
            return Utils::process_import_template(bodyFd, boundary, d);
        }));
    // Firmware and a restored backup replace what the camera runs and how it is set up.
    for (const auto& [name, restore] :
         {std::pair{"offline_upgrade", false}, {"start_restore", true}}) {
        router_.addUploadCommand(
            name, kPost,
            uploadRoute([restore = restore](int bodyFd, const std::string& boundary,
                                            const CameraDriverPtr& d) {
                return Utils::process_offline_upgrade(bodyFd, boundary, d, restore);
            }),
            LocalApi::Access::Admin);
    }

    router_.addCommand(
        "get_result", kGetPost, withDriver([this](const ApiRequest& r, const CameraDriverPtr& d) {
            return Utils::process_get_result(d, r.method == "POST", dbMutex_, database_);
        }));
    router_.addCommand(
        "result_feedback", kPost, withDriver([this](const ApiRequest& r, const CameraDriverPtr& d) {
            Log()->info("HandleSession() enter in: /api/result_feedback");
            return Utils::process_result_feedback(Utils::parseJsonObject(r.body), d, dbMutex_,
                                                  configSnapshot(), database_);
        }));
    router_.addCommand("get_image", kGetPost, [this](const ApiRequest& r) { return getImage(r); });
    router_.setDownloadRoute([this](const ApiRequest& r) { return downloadTemplate(r); });
}

ApiReply Server::upload(const ApiRequest& request,
                        const std::function<ApiReply(const std::string& boundary)>& send) {
    const std::string marker = "boundary=";
    const auto at = request.contentType.find(marker);
    if (at == std::string::npos) {
        Log()->error("Boundary not found in Content-Type");
        return ApiReply::failure(200, LocalApi::kInternalErrorCode);
    }
    std::string boundary = request.contentType.substr(at + marker.size());
    // A quoted boundary parameter (RFC 2046) means the text between the quotes.
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
        boundary = boundary.substr(1, boundary.size() - 2);
    }
    return send("--" + boundary);
}

ApiReply Server::getImage(const ApiRequest& request) {
    auto camera = driver();
    std::string bytes;
    if (camera) bytes = Utils::process_get_image(camera, request.method == "POST").second;
    Log()->info("img size:{}", bytes.size());
    if (bytes.empty()) return ApiReply::json(R"({"code":-6103,"msg":"Camera lost"})", 500);
    return ApiReply::bytes(std::move(bytes), "image/jpeg");
}

ApiReply Server::downloadTemplate(const ApiRequest& request) {
    auto camera = driver();
    if (!camera) return ApiReply::bytes("", "application/octet-stream", 502);
    REST::RawResponse answer = camera->download_template(request.segments[1]).second;
    // No camera answer at all must not look like an empty archive.
    if (answer.status == 0) return ApiReply::bytes("", "application/octet-stream", 502);
    ApiReply reply =
        ApiReply::bytes(std::move(answer.body), "application/octet-stream", answer.status);
    reply.reason = answer.reason;
    return reply;
}

}  // namespace korvane::Engine::Test
