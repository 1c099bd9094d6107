#pragma once
// The local API's camera commands: each handler reads the client's JSON body into the driver's
// request record, calls one camera operation and turns its code and answer into the envelope.
// Stateless; called from any number of HTTP worker threads at once, sharing only the driver.
// Bad client input (a missing member, one that does not convert) throws InvalidRequest naming
// the member; nothing else is thrown, camera failures become the envelope's code.

#include <Poco/JSON/Object.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace korvane::Engine::Driver {
class PellixDriver;
}

namespace korvane::Utils {

using CameraDriverPtr = std::shared_ptr<Engine::Driver::PellixDriver>;
// Called on the request's thread once the camera accepted a setting; whatever it throws is
// logged and dropped.
using ChangeNotice = std::function<void()>;

// ---- Queries. `post` asks the camera with POST (true) or GET (false). Success answers
// {"code":0,"data":...}; a failure {"code":<code>,"data":null}.
Poco::JSON::Object::Ptr process_get_item_list(const CameraDriverPtr& driver, bool post);
Poco::JSON::Object::Ptr process_get_sync_status(const CameraDriverPtr& driver, bool post);
Poco::JSON::Object::Ptr process_get_device_info(const CameraDriverPtr& driver, bool post);
Poco::JSON::Object::Ptr process_get_calib(const CameraDriverPtr& driver, bool post);
Poco::JSON::Object::Ptr process_get_learnmode(const CameraDriverPtr& driver, bool post);
Poco::JSON::Object::Ptr process_get_sync_limit(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_get_superior(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_get_extra_info(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_get_time(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_get_board_info(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_get_deletion_all_progress(const CameraDriverPtr& driver);

// ---- Job status. Success answers {"code":0,"msg":...,"status":...} (plus "filename" for the
// export); a failure {"code":<code>,"data":null}.
Poco::JSON::Object::Ptr process_export_template_status(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_import_template_status(const CameraDriverPtr& driver);
// restore: the status of a restore instead of a firmware upgrade.
Poco::JSON::Object::Ptr process_offline_upgrade_status(const CameraDriverPtr& driver, bool restore);

// ---- Commands without a body: {"code":<code>,"data":null}.
Poco::JSON::Object::Ptr process_clear_all_template(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_manual_sync(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_reset_device(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_reboot(const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_enable_internet_once(const CameraDriverPtr& driver);

// ---- Commands with a body: {"code":<code>,"data":null} unless noted.
// Success: {"code":0,"data":{"image":...,"sid":...}}.
Poco::JSON::Object::Ptr process_add_item_template(const Poco::JSON::Object::Ptr& body,
                                                  const CameraDriverPtr& driver);
// Success: {"code":0,"data":[template ids],"max":<most templates per product>}.
Poco::JSON::Object::Ptr process_get_item_template_list(const Poco::JSON::Object::Ptr& body,
                                                       const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_delete_item_template(const Poco::JSON::Object::Ptr& body,
                                                     const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_delete_item(const Poco::JSON::Object::Ptr& body,
                                            const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_export_template(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_set_deletion_all_flag(const Poco::JSON::Object::Ptr& body,
                                                      const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_clear_deletion_all_flag(const Poco::JSON::Object::Ptr& body,
                                                        const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_set_superior(const Poco::JSON::Object::Ptr& body,
                                             const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_set_time(const Poco::JSON::Object::Ptr& body,
                                         const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_set_calib(const Poco::JSON::Object::Ptr& body,
                                          const CameraDriverPtr& driver);
Poco::JSON::Object::Ptr process_set_sold_out_status(const Poco::JSON::Object::Ptr& body,
                                                    const CameraDriverPtr& driver);

// ---- Settings that change the device attributes reported to the monitoring service:
// {"code":<code>,"data":null}; onChanged runs exactly once when the code is 0, never otherwise.
Poco::JSON::Object::Ptr process_set_sync_normal(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver,
                                                const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_sync_master(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver,
                                                const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_sync_slave(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_sync_limit(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_predict_speed(const Poco::JSON::Object::Ptr& body,
                                                  const CameraDriverPtr& driver,
                                                  const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_max_result(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_extra_info(const Poco::JSON::Object::Ptr& body,
                                               const CameraDriverPtr& driver,
                                               const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_sold_out_limit(const Poco::JSON::Object::Ptr& body,
                                                   const CameraDriverPtr& driver,
                                                   const ChangeNotice& onChanged);
Poco::JSON::Object::Ptr process_set_learnmode(const Poco::JSON::Object::Ptr& body,
                                              const CameraDriverPtr& driver,
                                              const ChangeNotice& onChanged);

// The camera's picture: code 0 with its bytes as sent, or the failure code with no bytes.
std::pair<int, std::string> process_get_image(const CameraDriverPtr& driver, bool post);

// ---- Uploads. `bodyFd` is an open file holding the raw multipart request body from offset 0;
// it stays the caller's, open until the handler returns, and is read only at explicit offsets.
// The file part is sent to the camera from there, so that a large upload is never held in
// memory. `boundary` is the delimiter ("--" followed by the Content-Type's boundary parameter).
// A body that cannot be taken apart answers {"code":-6210,"data":null}; otherwise the camera's
// code.
// The first part's bytes go to the camera as a firmware package, or with restore as a backup.
Poco::JSON::Object::Ptr process_offline_upgrade(int bodyFd, const std::string& boundary,
                                                const CameraDriverPtr& driver, bool restore);
// The first part's bytes go to the camera as a template file, the further parts as its fields.
Poco::JSON::Object::Ptr process_import_template(int bodyFd, const std::string& boundary,
                                                const CameraDriverPtr& driver);

}  // namespace korvane::Utils
