#include "sync_commands.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Timestamp.h>

namespace korvane::CameraSim {
namespace {

std::string cameraTimeText(const DeviceData& d) {
    return Poco::DateTimeFormatter::format(Poco::Timestamp(cameraClockUs(d)), "%Y-%m-%d %H:%M:%S");
}

// A master's serial number as a slave learns it during the handshake; derived from its
// address so that the same master always reports the same number.
std::string masterSerialFor(const std::string& ip) {
    std::string digits;
    for (char c : ip) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return "PX" + digits;
}

}  // namespace

SyncCommands::SyncCommands(CameraState& state) : state_(state) {}

void SyncCommands::registerInto(CommandTable& table) {
    using S = SyncCommands;
    addCommand(table, "set_sync_normal", Verb::Post, this, &S::setSyncNormal);
    addCommand(table, "set_sync_master", Verb::Post, this, &S::setSyncMaster);
    addCommand(table, "set_sync_slave", Verb::Post, this, &S::setSyncSlave);
    addCommand(table, "manual_sync", Verb::Post, this, &S::manualSync);
    addCommand(table, "get_sync_status", Verb::Any, this, &S::getSyncStatus);
    addCommand(table, "get_sync_limit", Verb::Any, this, &S::getSyncLimit);
    addCommand(table, "set_sync_limit", Verb::Post, this, &S::setSyncLimit);
    addCommand(table, "set_superior", Verb::Post, this, &S::setSuperior);
    addCommand(table, "get_superior", Verb::Any, this, &S::getSuperior);
}

SimReply SyncCommands::setSyncNormal(const SimRequest& request) {
    const auto body = bodyObject(request);
    const bool upload = needBool(body, "upload");
    const bool download = needBool(body, "download");
    return state_.with([&](DeviceData& d) {
        d.sync.mode = "normal";
        d.sync.upload = upload;
        d.sync.download = download;
        d.sync.masterIP.clear();
        d.sync.masterSN.clear();
        d.sync.mastersyncPort.reset();
        return okReply();
    });
}

SimReply SyncCommands::setSyncMaster(const SimRequest& request) {
    const auto body = bodyObject(request);
    const bool upload = needBool(body, "upload");
    const bool download = needBool(body, "download");
    return state_.with([&](DeviceData& d) {
        d.sync.mode = "master";
        d.sync.upload = upload;
        d.sync.download = download;
        d.sync.masterIP.clear();
        d.sync.masterSN = d.sn;
        d.sync.mastersyncPort.reset();
        return okReply();
    });
}

SimReply SyncCommands::setSyncSlave(const SimRequest& request) {
    const auto body = bodyObject(request);
    const bool upload = needBool(body, "upload");
    const bool download = needBool(body, "download");
    const std::string masterIP = needString(body, "masterIP");
    const auto port = optString(body, "mastersyncPort");
    if (masterIP.empty()) throw CommandError(kParameterError, "Parameter error: masterIP is empty");
    return state_.with([&](DeviceData& d) {
        d.sync.mode = "slave";
        d.sync.upload = upload;
        d.sync.download = download;
        d.sync.masterIP = masterIP;
        d.sync.masterSN = masterSerialFor(masterIP);
        d.sync.mastersyncPort = port;
        return okReply();
    });
}

SimReply SyncCommands::manualSync(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        if (d.sync.mode == "normal") {
            d.sync.message = "sync disabled in normal mode";
        } else {
            ++d.sync.count;
            d.sync.message = "sync completed";
            d.sync.synctime = cameraTimeText(d);
        }
        return okReply();
    });
}

SimReply SyncCommands::getSyncStatus(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr status = newObject();
        status->set("count", d.sync.count);
        status->set("message", d.sync.message);
        status->set("synctime", d.sync.synctime);
        return okReply(status);
    });
}

SimReply SyncCommands::getSyncLimit(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr limit = newObject();
        limit->set("limit", d.sync.limit);
        return okReply(limit);
    });
}

SimReply SyncCommands::setSyncLimit(const SimRequest& request) {
    const int limit = static_cast<int>(needIntIn(bodyObject(request), "limit", 0, 1000));
    return state_.with([&](DeviceData& d) {
        d.sync.limit = limit;
        return okReply();
    });
}

SimReply SyncCommands::setSuperior(const SimRequest& request) {
    const auto body = bodyObject(request);
    const std::string sn = needString(body, "sn");
    const std::string ip = needString(body, "ip");
    return state_.with([&](DeviceData& d) {
        d.superiorSn = sn;
        d.superiorIp = ip;
        return okReply();
    });
}

SimReply SyncCommands::getSuperior(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        Poco::JSON::Object::Ptr superior = newObject();
        superior->set("sn", d.superiorSn);
        superior->set("ip", d.superiorIp);
        return okReply(superior);
    });
}

}  // namespace korvane::CameraSim
