#include "device_commands.h"

#include <limits>

namespace korvane::CameraSim {

DeviceCommands::DeviceCommands(CameraState& state, FaultPlan& faults)
    : state_(state), faults_(faults) {}

void DeviceCommands::registerInto(CommandTable& table) {
    using D = DeviceCommands;
    addCommand(table, "get_device_info", Verb::Any, this, &D::getDeviceInfo);
    addCommand(table, "get_board_info", Verb::Any, this, &D::getBoardInfo);
    addCommand(table, "get_time", Verb::Any, this, &D::getTime);
    addCommand(table, "set_time", Verb::Post, this, &D::setTime);
    addCommand(table, "get_extra_info", Verb::Any, this, &D::getExtraInfo);
    addCommand(table, "set_extra_info", Verb::Post, this, &D::setExtraInfo);
    addCommand(table, "get_calib", Verb::Any, this, &D::getCalib);
    addCommand(table, "set_calib", Verb::Post, this, &D::setCalib);
    addCommand(table, "get_learnmode", Verb::Any, this, &D::getLearnmode);
    addCommand(table, "set_learnmode", Verb::Post, this, &D::setLearnmode);
    addCommand(table, "set_max_result", Verb::Post, this, &D::setMaxResult);
    addCommand(table, "set_predict_speed", Verb::Post, this, &D::setPredictSpeed);
    addCommand(table, "set_sold_out_limit", Verb::Post, this, &D::setSoldOutLimit);
    addCommand(table, "reboot", Verb::Post, this, &D::reboot);
    addCommand(table, "reset_device", Verb::Post, this, &D::resetDevice);
    addCommand(table, "enable_internet_once", Verb::Post, this, &D::enableInternetOnce);
}

SimReply DeviceCommands::getDeviceInfo(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr info = newObject();
        info->set("app", d.app);
        info->set("engine", d.engine);
        info->set("firmware", d.firmware);
        info->set("item_count", static_cast<int>(d.products.size()));
        info->set("learnMode", d.learnMode);
        info->set("masterIP", d.sync.masterIP);
        info->set("masterSN", d.sync.masterSN);
        info->set("soldOutLimit", d.soldOutLimit);
        info->set("max_result_num", d.maxResult);
        info->set("predict_speed", d.predictSpeed);
        info->set("sn", d.sn);
        info->set("sync", d.sync.mode == "normal" ? "off" : "on");
        info->set("sync_mode", d.sync.mode);
        info->set("upload", d.sync.upload);
        info->set("download", d.sync.download);
        info->set("sync_limit", d.sync.limit);
        info->set("board", d.board);
        if (d.sync.mastersyncPort) info->set("mastersyncPort", *d.sync.mastersyncPort);
        return okReply(info);
    });
}

SimReply DeviceCommands::getBoardInfo(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr info = newObject();
        info->set("board", d.board);
        info->set("clientID", d.clientID);
        info->set("engine", d.engine);
        info->set("firmware", d.firmware);
        info->set("sn", d.sn);
        info->set("syncMode", d.sync.mode);
        return okReply(info);
    });
}

SimReply DeviceCommands::getTime(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        const std::int64_t now = cameraClockUs(d);
        Poco::JSON::Object::Ptr time = newObject();
        time->set("sec", now / 1000000);
        time->set("usec", now % 1000000);
        return okReply(time);
    });
}

SimReply DeviceCommands::setTime(const SimRequest& request) {
    const auto body = bodyObject(request);
    const std::int64_t sec = needIntIn(body, "sec", 0, std::numeric_limits<std::int32_t>::max());
    const std::int64_t usec = needIntIn(body, "usec", 0, 999999);
    return state_.with([&](DeviceData& d) {
        d.clockOffsetUs = 0;
        d.clockOffsetUs = sec * 1000000 + usec - cameraClockUs(d);
        return okReply();
    });
}

SimReply DeviceCommands::getExtraInfo(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        // A camera whose store was never set answers without an object, as a fresh device does.
        if (!d.storeName && !d.storeId && !d.storeDep) return okReply();
        Poco::JSON::Object::Ptr info = newObject();
        if (d.storeName) info->set("store_name", *d.storeName);
        if (d.storeId) info->set("store_id", *d.storeId);
        if (d.storeDep) info->set("store_dep", *d.storeDep);
        return okReply(info);
    });
}

SimReply DeviceCommands::setExtraInfo(const SimRequest& request) {
    const auto body = bodyObject(request);
    const auto name = optString(body, "store_name");
    const auto id = optString(body, "store_id");
    const auto dep = optString(body, "store_dep");
    return state_.with([&](DeviceData& d) {
        if (name) d.storeName = name;
        if (id) d.storeId = id;
        if (dep) d.storeDep = dep;
        return okReply();
    });
}

SimReply DeviceCommands::getCalib(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr calib = newObject();
        calib->set("left", d.calib.left);
        calib->set("top", d.calib.top);
        calib->set("width", d.calib.width);
        calib->set("height", d.calib.height);
        return okReply(calib);
    });
}

SimReply DeviceCommands::setCalib(const SimRequest& request) {
    // The calibration area must lie inside the 1920x1080 sensor.
    const auto body = bodyObject(request);
    Calibration calib;
    calib.left = static_cast<int>(needIntIn(body, "left", 0, 1919));
    calib.top = static_cast<int>(needIntIn(body, "top", 0, 1079));
    calib.width = static_cast<int>(needIntIn(body, "width", 1, 1920 - calib.left));
    calib.height = static_cast<int>(needIntIn(body, "height", 1, 1080 - calib.top));
    return state_.with([&](DeviceData& d) {
        d.calib = calib;
        return okReply();
    });
}

SimReply DeviceCommands::getLearnmode(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr mode = newObject();
        mode->set("mode", d.learnMode);
        return okReply(mode);
    });
}

SimReply DeviceCommands::setLearnmode(const SimRequest& request) {
    const int mode = static_cast<int>(needIntIn(bodyObject(request), "mode", 0, 9));
    return state_.with([&](DeviceData& d) {
        d.learnMode = mode;
        return okReply();
    });
}

SimReply DeviceCommands::setMaxResult(const SimRequest& request) {
    const int num = static_cast<int>(needIntIn(bodyObject(request), "num", 1, 10));
    return state_.with([&](DeviceData& d) {
        d.maxResult = num;
        return okReply();
    });
}

SimReply DeviceCommands::setPredictSpeed(const SimRequest& request) {
    const std::string speed = needString(bodyObject(request), "speed");
    if (speed.empty()) throw CommandError(kParameterError, "Parameter error: speed is empty");
    return state_.with([&](DeviceData& d) {
        d.predictSpeed = speed;
        return okReply();
    });
}

SimReply DeviceCommands::setSoldOutLimit(const SimRequest& request) {
    const int day = static_cast<int>(needIntIn(bodyObject(request), "day", 0, 365));
    return state_.with([&](DeviceData& d) {
        d.soldOutLimit = day;
        return okReply();
    });
}

SimReply DeviceCommands::reboot(const SimRequest&) {
    const int downMs = state_.with([](DeviceData& d) {
        ++d.reboots;
        return d.sim.rebootDownMs;
    });
    // The answer still goes out; only the requests after it find the camera restarting.
    if (downMs > 0) faults_.goDown(std::chrono::milliseconds(downMs));
    return okReply();
}

SimReply DeviceCommands::resetDevice(const SimRequest&) {
    // Settings go back to the factory values; learnt products and the device identity stay.
    return state_.with([](DeviceData& d) {
        const DeviceData factory;
        d.maxResult = factory.maxResult;
        d.predictSpeed = factory.predictSpeed;
        d.learnMode = factory.learnMode;
        d.soldOutLimit = factory.soldOutLimit;
        d.clockOffsetUs = factory.clockOffsetUs;
        d.storeName.reset();
        d.storeId.reset();
        d.storeDep.reset();
        d.calib = factory.calib;
        d.sync = factory.sync;
        d.superiorSn.clear();
        d.superiorIp.clear();
        ++d.resets;
        return okReply();
    });
}

SimReply DeviceCommands::enableInternetOnce(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        ++d.internetOnce;
        return okReply();
    });
}

}  // namespace korvane::CameraSim
