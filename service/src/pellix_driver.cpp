#include "pellix_driver.h"

#include <Poco/Exception.h>

#include <boost/json.hpp>
#include <chrono>
#include <exception>

#include "agent_metrics.h"
#include "camera_errors.h"
#include "json_reader.h"
#include "logger.h"
#include "pellix_driver_request.h"
#include "queue_queries.h"
#include "sqlite_db.h"

namespace korvane::Engine::Driver {

namespace {

constexpr int kAlertCode = 400;
constexpr const char* kLossText = "Потеряна связь с устройством при выполнении команды ";

int wholeSeconds(std::chrono::milliseconds timeout) {
    return static_cast<int>((timeout.count() + 999) / 1000);
}

}  // namespace

PellixDriver::PellixDriver(const std::string& ip, int port, std::mutex& dbMutex, DB::SQLiteDB& db)
    : PellixDriver(ip, port, dbMutex, db, Timeouts{}) {}

PellixDriver::PellixDriver(const std::string& ip, int port, std::mutex& dbMutex, DB::SQLiteDB& db,
                           const Timeouts& timeouts)
    : ip_(ip), port_(port), timeouts_(timeouts), client_(ip, port), dbMutex_(dbMutex), db_(db) {
    reset_timeout();
}

void PellixDriver::reset_timeout() {
    client_.setTimeout(wholeSeconds(timeouts_.standard));
}

void PellixDriver::save_connect_state(const std::string& command, bool ok) {
    reset_timeout();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (connected_ && !ok) {
        const std::string text = kLossText + command;
        Log()->error(text);
        // A broken database must not turn a lost camera into an escaping exception.
        try {
            std::lock_guard<std::mutex> dbLock(dbMutex_);
            Utils::Queries::addAlertQueue(db_.GetSession(), kAlertCode, text);
        } catch (const Poco::Exception& e) {
            Log()->error("save_connect_state() could not queue the alert: {};", e.displayText());
        } catch (const std::exception& e) {
            Log()->error("save_connect_state() could not queue the alert: {};", e.what());
        }
    }
    connected_ = ok;
}

bool PellixDriver::isConnected() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return connected_;
}

PellixDriver::Request PellixDriver::request(std::string name, bool post) const {
    Request result;
    result.path = "/api/" + name;
    result.name = std::move(name);
    result.post = post;
    result.timeout = timeouts_.standard;
    return result;
}

int PellixDriver::perform(const Request& request, const ReplyReader& read) {
    const std::string& name = request.name;
    const auto began = std::chrono::steady_clock::now();
    const auto count = [&](const char* outcome) {
        auto& metrics = Utils::Metrics::agentMetrics();
        metrics.cameraRequests.at({name, outcome}).add();
        metrics.cameraSeconds.at({name}).observe(std::chrono::steady_clock::now() - began);
    };
    std::string failure;
    bool answered = false;
    try {
        if (request.calledLine.empty()) {
            Log()->info("{}() called;", name);
        } else {
            Log()->info(request.calledLine);
        }
        REST::RawResponse response;
        if (request.upload) {
            const auto& upload = *request.upload;
            response = upload.stored
                           ? client_.PostFormFile(request.path, upload.field, upload.fileName,
                                                  *upload.stored, upload.fields, request.timeout)
                           : client_.PostFormData(request.path, upload.field, upload.fileName,
                                                  *upload.bytes, upload.fields, request.timeout);
        } else if (request.post) {
            response = client_.Post(request.path, request.body, request.timeout);
        } else {
            response = client_.Get(request.path, request.timeout);
        }
        answered = true;
        // The outcome is recorded once, after the answer has been judged: marking the camera
        // connected before a reply that then fails to parse would turn every garbled reply
        // into a fresh loss with its own alert.
        if (response.status != 200) {
            count("http_error");
            save_connect_state(name, true);
            Log()->error("{}() network failed: code = {};", name, response.status);
            return response.status;
        }
        const auto reply = boost::json::parse(response.body);
        const auto& object = Utils::Json::asObject(reply, "reply");
        const int code = Utils::Json::intMember(object, "code");
        if (code != 0) {
            count("camera_error");
            save_connect_state(name, true);
            if (read) {
                Log()->error("{}() failed: code = {};", name, code);
            }
            return code;
        }
        if (read) {
            read(object);
        }
        count(Utils::Metrics::kOk);
        save_connect_state(name, true);
        return 0;
    } catch (const Poco::Exception& e) {
        failure = e.displayText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    // An answer that could not be read counts with the HTTP failures: the module was there.
    count(answered ? "http_error" : Utils::Metrics::kUnreachable);
    Log()->error("{}() exception: {};", name, failure);
    try {
        save_connect_state(name, false);
    } catch (const std::exception& e) {
        Log()->error("{}() could not record the lost connection: {};", name, e.what());
    }
    return static_cast<int>(Utils::Errors::CameraError::CameraLost);
}

}  // namespace korvane::Engine::Driver
