// Remote camera commands: the service runs any of the local API's camera commands through the
// same handlers the point-of-sale software uses, and camera pictures go to object storage.

#include <Poco/Base64Decoder.h>
#include <Poco/JSON/Object.h>

#include <boost/json.hpp>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "agent_utils.h"
#include "camera_handlers.h"
#include "logger.h"
#include "models_task.h"
#include "monitoring_driver.h"
#include "recognition_handlers.h"
#include "s3_client_provider.h"
#include "task_handler_provider.h"
#include "task_handler_provider_support.h"

namespace korvane::Engine::Sync {

using namespace TaskSupport;
using Utils::Errors::HardwareException;

namespace {

using Answer = Poco::JSON::Object::Ptr;
using Body = const Poco::JSON::Object::Ptr&;
using DriverRef = const Utils::CameraDriverPtr&;
using Notice = const Utils::ChangeNotice&;

// Everything a command may need; each command takes its part.
struct HardwareCall {
    const boost::json::value& args;
    Utils::CameraDriverPtr driver;
    Utils::ChangeNotice onChanged;
    std::mutex& dbMutex;
    DB::SQLiteDB& db;
    const Utils::ConfigMap& config;

    // The arguments as the request body of a command that reads one.
    Poco::JSON::Object::Ptr body() const {
        if (!args.is_object()) {
            throw boost::system::system_error(make_error_code(boost::json::error::not_object),
                                              "args");
        }
        return Utils::convertJsonBoost2Poco(args).extract<Poco::JSON::Object::Ptr>();
    }
};

using Command = Answer (*)(const HardwareCall&);

// Queries are sent as GET, as get_result is.
constexpr bool kPost = false;

template <Answer (*Run)(DriverRef)>
Answer plain(const HardwareCall& call) {
    return Run(call.driver);
}
template <Answer (*Run)(DriverRef, bool)>
Answer query(const HardwareCall& call) {
    return Run(call.driver, kPost);
}
template <Answer (*Run)(Body, DriverRef)>
Answer withBody(const HardwareCall& call) {
    return Run(call.body(), call.driver);
}
template <Answer (*Run)(Body, DriverRef, Notice)>
Answer notifying(const HardwareCall& call) {
    return Run(call.body(), call.driver, call.onChanged);
}

Answer getResult(const HardwareCall& call) {
    return Utils::process_get_result(call.driver, false, call.dbMutex, call.db);
}

Answer resultFeedback(const HardwareCall& call) {
    const auto body = call.body();
    Utils::ConfigMap config;
    {
        std::lock_guard<std::mutex> lock(call.dbMutex);
        config = call.config;
    }
    return Utils::process_result_feedback(body, call.driver, call.dbMutex, config, call.db);
}

Answer offlineUpgradeStatus(const HardwareCall& call) {
    return Utils::process_offline_upgrade_status(call.driver, false);
}

const std::unordered_map<std::string_view, Command>& commands() {
    using namespace Utils;
    static const std::unordered_map<std::string_view, Command> table = {
        {"add_item_template", withBody<process_add_item_template>},
        {"get_item_template_list", withBody<process_get_item_template_list>},
        {"delete_item_template", withBody<process_delete_item_template>},
        {"get_item_list", query<process_get_item_list>},
        {"delete_item", withBody<process_delete_item>},
        {"clear_all_template", plain<process_clear_all_template>},
        {"export_template", withBody<process_export_template>},
        {"export_template_status", plain<process_export_template_status>},
        {"import_template_status", plain<process_import_template_status>},
        {"set_deletion_all_flag", withBody<process_set_deletion_all_flag>},
        {"clear_deletion_all_flag", withBody<process_clear_deletion_all_flag>},
        {"get_deletion_all_progress", plain<process_get_deletion_all_progress>},
        {"set_sync_normal", notifying<process_set_sync_normal>},
        {"set_sync_master", notifying<process_set_sync_master>},
        {"set_sync_slave", notifying<process_set_sync_slave>},
        {"manual_sync", plain<process_manual_sync>},
        {"get_sync_status", query<process_get_sync_status>},
        {"get_sync_limit", plain<process_get_sync_limit>},
        {"set_sync_limit", notifying<process_set_sync_limit>},
        {"set_superior", withBody<process_set_superior>},
        {"get_superior", plain<process_get_superior>},
        {"set_predict_speed", notifying<process_set_predict_speed>},
        {"get_result", getResult},
        {"set_max_result", notifying<process_set_max_result>},
        {"result_feedback", resultFeedback},
        {"set_time", withBody<process_set_time>},
        {"get_device_info", query<process_get_device_info>},
        {"set_extra_info", notifying<process_set_extra_info>},
        {"get_extra_info", plain<process_get_extra_info>},
        {"set_calib", withBody<process_set_calib>},
        {"get_calib", query<process_get_calib>},
        {"reset_device", plain<process_reset_device>},
        {"reboot", plain<process_reboot>},
        {"offline_upgrade_status", offlineUpgradeStatus},
        {"enable_internet_once", plain<process_enable_internet_once>},
        {"set_sold_out_limit", notifying<process_set_sold_out_limit>},
        {"get_time", plain<process_get_time>},
        {"set_learnmode", notifying<process_set_learnmode>},
        {"get_learnmode", query<process_get_learnmode>},
        {"get_board_info", plain<process_get_board_info>},
        {"set_sold_out_status", withBody<process_set_sold_out_status>},
    };
    return table;
}

constexpr const char* kHardwareFailed = "Ошибка при выполнении команды. ";

}  // namespace

void TaskHandlerProvider::notifyAttributesChanged() {
    if (auto* monitoring = monitoring_.load()) monitoring->attributes_update();
}

void TaskHandlerProvider::handleHardware(Utils::Models::Task& task) {
    requireString(task.data, "kind");
    const std::string cmd = requireString(task.data, "cmd");
    const boost::json::value& args = requireMember(task.data, "args");
    auto driver = lockDriver("driver_instance_ expired; cannot exec handleHardware;");

    if (cmd == "get_image") {
        auto [code, image] = Utils::process_get_image(driver, kPost);
        if (code != 0) throw cameraFailure(code, kHardwareFailed);
        task.result = {{"url", saveImageToS3(image, false)}};
        return;
    }
    const auto found = commands().find(cmd);
    if (found == commands().end()) {
        Log()->warn("Unknown hardware command: {}", cmd);
        throw HardwareException("UNKNOWN_HARDWARE_COMMAND", "");
    }
    const HardwareCall call{args,     driver, [this] { notifyAttributesChanged(); },
                            dbMutex_, db_,    config_};
    boost::json::object answer =
        Utils::convertPoco2Boost(Poco::Dynamic::Var(found->second(call))).as_object();
    const int code = answer.at("code").to_number<int>();

    boost::json::object result;
    if (cmd == "add_item_template" && code == 0) {
        auto& data = answer.at("data").as_object();
        const std::string image(data.at("image").as_string());
        result["url"] = saveImageToS3(image, true);
        data.erase("image");
    }
    if (code != 0) {
        task.result = std::move(answer);
        throw cameraFailure(code, kHardwareFailed);
    }
    result["value"] = std::move(answer);
    task.result = std::move(result);
}

std::string TaskHandlerProvider::saveImageToS3(const std::string& image, bool base64) {
    auto s3 = s3_.lock();
    if (!s3) {
        Log()->error("S3ClientProvider expired; cannot upload camera's photo to S3.");
        throw HardwareException("S3_INSTANCE_EXPIRED",
                                "Истекло время жизни ресурса для отправки в файловое хранилище, "
                                "требуется переинициализация");
    }
    const std::string prefix = "pellix_" + localTime("%Y%m%d_%H%M%S") + "_";
    std::string decoded;
    if (base64) {
        try {
            std::istringstream text(image);
            Poco::Base64Decoder decoder(text);
            decoded.assign(std::istreambuf_iterator<char>(decoder), {});
            if (decoder.bad()) throw std::runtime_error("invalid Base64 text");
        } catch (const std::exception& e) {
            Log()->error("Failed to decode base64 image: {}", e.what());
            throw HardwareException(
                "BASE64_DECODE_FAILED",
                std::string("Ошибка декодирования base64 изображения: ") + e.what());
        }
    }
    const std::string& bytes = base64 ? decoded : image;

    auto file = TemporaryFile::create(prefix, ".jpg");
    const std::string path = file ? file->path() : TemporaryFile::pattern(prefix, ".jpg");
    if (!file || !file->write(bytes)) {
        Log()->error("Failed to open image file for writing: {}", path);
        throw HardwareException("IMAGE_ACCESS_ERROR",
                                "Не удалось открыть изображение для записи: " + path);
    }
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        Log()->error("Image file not found: {}", path);
        throw HardwareException("IMAGE_NOT_FOUND", "Изображение не найдено по пути: " + path);
    }
    const std::string device = deviceId();
    const std::string key =
        getDefaultObjkey(device, "Images/screen_" + device + "_" + localTime(kNameTime) + ".jpeg");
    std::string url;
    if (!s3->uploadFile(path, key, url, true)) {
        Log()->error("Failed to upload image file to S3: {}", key);
        throw HardwareException("S3_UPLOAD_FAILED",
                                "Не удалось загрузить изображение на адрес " + key);
    }
    return url;
}

}  // namespace korvane::Engine::Sync
