// Handlers of the camera's file jobs: template export and its status, template import and
// firmware upgrade or restore uploads taken out of multipart bodies, and their status.

#include "camera_errors.h"
#include "camera_handler_answers.h"
#include "camera_handlers.h"
#include "logger.h"
#include "models_transfer.h"
#include "multipart_body.h"
#include "pellix_driver.h"
#include "request_body.h"

namespace korvane::Utils {

namespace {

constexpr int kUnknownMistake = static_cast<int>(Errors::CameraError::UnknownMistake);
// Text fields of an upload are names and small settings; anything longer is not one.
constexpr std::size_t kFieldLimit = 1 << 20;

// Sends what the upload holds with `send(const MultipartFile&) -> int`, or answers -6210 when
// the body could not be taken apart.
template <class Send>
Poco::JSON::Object::Ptr upload(const MultipartFile& parts, Send send) {
    if (!parts.error.empty()) {
        Log()->error("{}", parts.error);
        return get_empty_response(kUnknownMistake);
    }
    return get_empty_response(send(parts));
}

}  // namespace

Poco::JSON::Object::Ptr process_export_template(const Poco::JSON::Object::Ptr& body,
                                                const CameraDriverPtr& driver) {
    const RequestBody in(body);
    return get_empty_response(driver->export_template({.ids = in.list("ids")}));
}

Poco::JSON::Object::Ptr process_export_template_status(const CameraDriverPtr& driver) {
    const auto [code, status] = driver->export_template_status();
    auto envelope = statusAnswer(code, status.msg, static_cast<int>(status.status));
    if (code == 0) {
        envelope->set("filename", status.filename);
    }
    return envelope;
}

Poco::JSON::Object::Ptr process_import_template_status(const CameraDriverPtr& driver) {
    const auto [code, status] = driver->import_template_status();
    return statusAnswer(code, status.msg, static_cast<int>(status.status));
}

Poco::JSON::Object::Ptr process_offline_upgrade_status(const CameraDriverPtr& driver,
                                                       bool restore) {
    const auto [code, status] = driver->offline_upgrade_status(restore);
    return statusAnswer(code, status.msg, static_cast<int>(status.status));
}

Poco::JSON::Object::Ptr process_offline_upgrade(int bodyFd, const std::string& boundary,
                                                const CameraDriverPtr& driver, bool restore) {
    return upload(extractMultipartFile(bodyFd, boundary, kFieldLimit),
                  [&](const MultipartFile& parts) {
                      return driver->offline_upgrade({.stored = parts.file}, restore);
                  });
}

Poco::JSON::Object::Ptr process_import_template(int bodyFd, const std::string& boundary,
                                                const CameraDriverPtr& driver) {
    return upload(
        extractMultipartForm(bodyFd, boundary, kFieldLimit), [&](const MultipartFile& parts) {
            return driver->import_template({.params = parts.fields, .stored = parts.file});
        });
}

}  // namespace korvane::Utils
