// Handlers of the synchronisation between cameras: the camera's role, its superior device,
// the synchronisation limit and the state of the last run.

#include "camera_handler_answers.h"
#include "camera_handlers.h"
#include "models_sync.h"
#include "pellix_driver.h"
#include "request_body.h"

namespace korvane::Utils {

namespace {

// Every synchronisation role says whether this camera sends and receives templates.
template <class Req>
Req directions(const RequestBody& in) {
    Req req;
    req.upload = in.required<bool>("upload");
    req.download = in.required<bool>("download");
    return req;
}

}  // namespace

Poco::JSON::Object::Ptr process_set_sync_normal(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver,
                                                const ChangeNotice& onChanged) {
    const int code =
        driver->set_sync_normal(directions<Models::SetSyncNormalReq>(RequestBody(body)));
    return settingAnswer("set_sync_normal", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_sync_master(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver,
                                                const ChangeNotice& onChanged) {
    const int code =
        driver->set_sync_master(directions<Models::SetSyncMasterReq>(RequestBody(body)));
    return settingAnswer("set_sync_master", code, onChanged);
}

Poco::JSON::Object::Ptr process_set_sync_slave(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged) {
    const RequestBody in(body);
    auto req = directions<Models::SetSyncSlaveReq>(in);
    req.masterIP = in.required<std::string>("masterIP");
    req.mastersyncPort = in.optional<std::string>("mastersyncPort");
    return settingAnswer("set_sync_slave", driver->set_sync_slave(req), onChanged);
}

Poco::JSON::Object::Ptr process_set_sync_limit(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged) {
    const RequestBody in(body);
    const int code = driver->set_sync_limit({.limit = in.required<int>("limit")});
    return settingAnswer("set_sync_limit", code, onChanged);
}

Poco::JSON::Object::Ptr process_manual_sync(const CameraDriverPtr& driver) {
    return get_empty_response(driver->manual_sync());
}

Poco::JSON::Object::Ptr process_get_sync_status(const CameraDriverPtr& driver, bool post) {
    return answer(driver->get_sync_status(post), [](const Models::GetSyncStatusRes& status) {
        return jsonObject(
            {{"count", status.count}, {"message", status.message}, {"synctime", status.synctime}});
    });
}

Poco::JSON::Object::Ptr process_get_sync_limit(const CameraDriverPtr& driver) {
    return answer(driver->get_sync_limit(), [](int limit) {
        return jsonObject({{"limit", limit}});
    });
}

Poco::JSON::Object::Ptr process_get_superior(const CameraDriverPtr& driver) {
    return answer(driver->get_superior(), [](const Models::GetSuperiorRes& superior) {
        return jsonObject({{"ip", superior.ip}, {"sn", superior.sn}});
    });
}

Poco::JSON::Object::Ptr process_set_superior(const Poco::JSON::Object::Ptr& body,
                                             const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->set_superior(
        {.sn = in.required<std::string>("sn"), .ip = in.required<std::string>("ip")}));
}

}  // namespace korvane::Utils
