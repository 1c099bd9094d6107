// Handlers of the camera's device-level commands: information, clock, store details,
// calibration area, learning mode, result count, prediction speed, restarts and the picture.

#include "camera_handler_answers.h"
#include "camera_handlers.h"
#include "models_device.h"
#include "models_items.h"
#include "pellix_driver.h"
#include "request_body.h"

namespace korvane::Utils {

namespace {

// Store details the camera did not report stay out of the answer.
void setIfPresent(Poco::JSON::Object& object, const std::string& key,
                  const std::optional<std::string>& value) {
    if (value) {
        object.set(key, *value);
    }
}

}  // namespace

Poco::JSON::Object::Ptr process_get_device_info(const CameraDriverPtr& driver, bool post) {
    return answer(driver->get_device_info(post), [](const Models::GetDeviceInfoRes& info) {
        return jsonObject({{"app", info.app},
                           {"board", info.board},
                           {"download", info.download},
                           {"engine", info.engine},
                           {"firmware", info.firmware},
                           {"item_count", info.item_count},
                           {"learnMode", info.learnMode},
                           {"masterIP", info.masterIP},
                           {"masterSN", info.masterSN},
                           {"mastersyncPort", info.mastersyncPort},
                           {"max_result_num", info.max_result_num},
                           {"predict_speed", info.predict_speed},
                           {"sn", info.sn},
                           {"soldOutLimit", info.soldOutLimit},
                           {"sync", info.sync},
                           {"sync_limit", info.sync_limit},
                           {"sync_mode", info.sync_mode},
                           {"upload", info.upload}});
    });
}

Poco::JSON::Object::Ptr process_get_board_info(const CameraDriverPtr& driver) {
    return answer(driver->get_board_info(), [](const Models::GetBoardInfoRes& info) {
        return jsonObject({{"board", info.board},
                           {"clientID", info.clientID},
                           {"engine", info.engine},
                           {"firmware", info.firmware},
                           {"sn", info.sn},
                           {"syncMode", info.syncMode}});
    });
}

Poco::JSON::Object::Ptr process_get_extra_info(const CameraDriverPtr& driver) {
    return answer(driver->get_extra_info(), [](const Models::GetExtraInfoRes& info) {
        Poco::JSON::Object::Ptr data = new Poco::JSON::Object;
        setIfPresent(*data, "store_name", info.store_name);
        setIfPresent(*data, "store_id", info.store_id);
        setIfPresent(*data, "store_dep", info.store_dep);
        return data;
    });
}

Poco::JSON::Object::Ptr process_get_time(const CameraDriverPtr& driver) {
    const auto [code, sec, usec] = driver->get_time();
    return answer(code, [sec = sec, usec = usec] {
        return jsonObject({{"sec", sec}, {"usec", usec}});
    });
}

Poco::JSON::Object::Ptr process_get_calib(const CameraDriverPtr& driver, bool post) {
    const auto [code, left, top, width, height] = driver->get_calib(post);
    return answer(code, [left = left, top = top, width = width, height = height] {
        return jsonObject({{"height", height}, {"left", left}, {"top", top}, {"width", width}});
    });
}

Poco::JSON::Object::Ptr process_get_learnmode(const CameraDriverPtr& driver, bool post) {
    return answer(driver->get_learnmode(post), [](int mode) {
        return jsonObject({{"mode", mode}});
    });
}

Poco::JSON::Object::Ptr process_set_time(const Poco::JSON::Object::Ptr& body,
                                         const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(
        driver->set_time({.sec = in.required<int>("sec"), .usec = in.required<int>("usec")}));
}

Poco::JSON::Object::Ptr process_set_calib(const Poco::JSON::Object::Ptr& body,
                                          const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->set_calib({.left = in.required<int>("left"),
                                                 .top = in.required<int>("top"),
                                                 .width = in.required<int>("width"),
                                                 .height = in.required<int>("height")}));
}

Poco::JSON::Object::Ptr process_set_extra_info(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_extra_info({.store_name = in.optional<std::string>("store_name"),
                                             .store_id = in.optional<std::string>("store_id"),
                                             .store_dep = in.optional<std::string>("store_dep")});
    return settingAnswer("set_extra_info", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_learnmode(const Poco::JSON::Object::Ptr& body,
                                              const CameraDriverPtr& driver,
                                              const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_learnmode({.mode = in.required<int>("mode")});
    return settingAnswer("set_learnmode", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_max_result(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_max_result({.num = in.required<int>("num")});
    return settingAnswer("set_max_result", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_predict_speed(const Poco::JSON::Object::Ptr& body,
                                                  const CameraDriverPtr& driver,
                                                  const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_predict_speed({.speed = in.required<std::string>("speed")});
    return settingAnswer("set_predict_speed", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_sold_out_limit(const Poco::JSON::Object::Ptr& body,
                                                   const CameraDriverPtr& driver,
                                                   const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_sold_out_limit({.day = in.required<int>("day")});
    return settingAnswer("set_sold_out_limit", code, onChanged);
}

Poco::JSON::Object::Ptr process_reset_device(const CameraDriverPtr& driver) {
    return get_empty_response(driver->reset_device());
}

Poco::JSON::Object::Ptr process_reboot(const CameraDriverPtr& driver) {
    return get_empty_response(driver->reboot());
}

Poco::JSON::Object::Ptr process_enable_internet_once(const CameraDriverPtr& driver) {
    return get_empty_response(driver->enable_internet_once());
}

std::pair<int, std::string> process_get_image(const CameraDriverPtr& driver, bool post) {
    auto [code, bytes] = driver->get_image(post);
    if (code != 0) {
        bytes.clear();
    }
    return {code, std::move(bytes)};
}

}  // namespace korvane::Utils
