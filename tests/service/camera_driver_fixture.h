#pragma once
// Shared set-up of the camera driver tests: a migrated SQLite file in a temporary folder, the
// camera simulator in-process on a free port, a driver bound to it, and a canned-reply server
// for answers the simulator cannot be made to give. Used on the test's thread only.

#include <Poco/Net/HTTPServer.h>
#include <Poco/ThreadPool.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <boost/json.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "camera_simulator.h"
#include "log_capture.h"
#include "pellix_driver.h"
#include "sqlite_db.h"
#include "temp_dir.h"

namespace korvane::Testing {

// Answers every request with the reply last given to set(), and remembers the requests.
class CannedCamera {
  public:
    struct Reply {
        int status = 200;
        std::string contentType = "application/json";
        std::string body;
    };
    struct Received {
        std::string method;
        std::string path;
        std::string body;
    };

    CannedCamera();
    ~CannedCamera();
    void set(Reply reply);
    std::uint16_t port() const { return port_; }
    std::vector<Received> received() const;

    // Used by the request handler.
    Reply serve(Received request);

  private:
    mutable std::mutex mutex_;
    Reply reply_;
    std::vector<Received> received_;
    Poco::ThreadPool pool_{1, 4};
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    std::uint16_t port_ = 0;
};

class CameraDriverTest : public ::testing::Test {
  protected:
    using Driver = Engine::Driver::PellixDriver;

    CameraDriverTest();
    ~CameraDriverTest() override;

    // A driver for another port (a canned camera, or one where nothing listens).
    std::unique_ptr<Driver> driverFor(std::uint16_t port, const Driver::Timeouts& timeouts = {});

    // A control request to the simulator; fails the test unless it answers 200.
    boost::json::value control(const std::string& method, const std::string& path,
                               const std::string& body = "");
    void fault(const boost::json::object& rule);
    // The requests the simulator received for one command, oldest first.
    std::vector<boost::json::object> requestsOf(const std::string& command);
    boost::json::object lastRequestOf(const std::string& command);
    boost::json::object simState();
    // Rows of the alert queue as (code, description), oldest first.
    std::vector<std::pair<int, std::string>> alerts();

    TempDir dir_;
    std::mutex dbMutex_;
    std::unique_ptr<Engine::DB::SQLiteDB> db_;
    std::unique_ptr<CameraSim::CameraSimulator> sim_;
    std::unique_ptr<Driver> driver_;
};

}  // namespace korvane::Testing
