#include "camera_driver_fixture.h"

#include <Poco/Data/Session.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>

#include <algorithm>

#include "http_client.h"
#include "logger.h"
#include "migrator.h"
#include "schema_migrations.h"

namespace korvane::Testing {

namespace {

class CannedHandler : public Poco::Net::HTTPRequestHandler {
  public:
    explicit CannedHandler(CannedCamera& camera) : camera_(camera) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        CannedCamera::Received received{request.getMethod(), request.getURI(), {}};
        Poco::StreamCopier::copyToString(request.stream(), received.body);
        const auto reply = camera_.serve(std::move(received));
        response.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
        if (!reply.contentType.empty()) response.setContentType(reply.contentType);
        response.setContentLength64(static_cast<Poco::Int64>(reply.body.size()));
        response.sendBuffer(reply.body.data(), reply.body.size());
    }

  private:
    CannedCamera& camera_;
};

class CannedFactory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    explicit CannedFactory(CannedCamera& camera) : camera_(camera) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new CannedHandler(camera_);
    }

  private:
    CannedCamera& camera_;
};

}  // namespace

CannedCamera::CannedCamera() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    port_ = socket.address().port();
    server_ = std::make_unique<Poco::Net::HTTPServer>(new CannedFactory(*this), pool_, socket,
                                                      new Poco::Net::HTTPServerParams);
    server_->start();
}

CannedCamera::~CannedCamera() {
    server_->stopAll(true);
}

void CannedCamera::set(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
}

std::vector<CannedCamera::Received> CannedCamera::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

CannedCamera::Reply CannedCamera::serve(Received request) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(request));
    return reply_;
}

CameraDriverTest::CameraDriverTest() {
    db_ = std::make_unique<Engine::DB::SQLiteDB>(dir_.file("service.db"));
    db_->Execute(Engine::DB::kMigrationsTableDdl);
    Engine::DB::Migrator migrator(db_->GetSession());
    for (const auto& [name, sql] : Engine::DB::schemaMigrations(dir_.file("images"), "GNU/Linux")) {
        migrator.addMigration(name, sql);
    }
    migrator.migrate();

    CameraSim::CameraSimulator::Options options;
    options.seed = 7;
    options.jobStepMs = 50;
    sim_ = std::make_unique<CameraSim::CameraSimulator>(options);
    sim_->start();
    driver_ = driverFor(sim_->port());
}

CameraDriverTest::~CameraDriverTest() {
    driver_.reset();
    sim_->stop();
}

std::unique_ptr<CameraDriverTest::Driver> CameraDriverTest::driverFor(
    std::uint16_t port, const Driver::Timeouts& timeouts) {
    return std::make_unique<Driver>("127.0.0.1", port, dbMutex_, *db_, timeouts);
}

boost::json::value CameraDriverTest::control(const std::string& method, const std::string& path,
                                             const std::string& body) {
    const auto result =
        httpRequest(sim_->port(), method, path, body, body.empty() ? "" : "application/json");
    EXPECT_EQ(result.status, 200) << method << ' ' << path << ": " << result.body;
    return boost::json::parse(result.body);
}

void CameraDriverTest::fault(const boost::json::object& rule) {
    control("POST", "/sim/fault", boost::json::serialize(rule));
}

std::vector<boost::json::object> CameraDriverTest::requestsOf(const std::string& command) {
    const auto reply = control("GET", "/sim/requests?command=" + command);
    std::vector<boost::json::object> requests;
    for (const auto& entry : reply.at("requests").as_array()) {
        requests.push_back(entry.as_object());
    }
    return requests;
}

boost::json::object CameraDriverTest::lastRequestOf(const std::string& command) {
    auto requests = requestsOf(command);
    if (requests.empty()) {
        ADD_FAILURE() << "the camera received no " << command;
        return {};
    }
    return requests.back();
}

boost::json::object CameraDriverTest::simState() {
    return control("GET", "/sim/state").at("device").as_object();
}

std::vector<std::pair<int, std::string>> CameraDriverTest::alerts() {
    using Poco::Data::Keywords::into;
    using Poco::Data::Keywords::now;
    std::vector<int> codes;
    std::vector<std::string> descriptions;
    std::lock_guard<std::mutex> lock(dbMutex_);
    db_->GetSession() << "SELECT code, description FROM alert_queue ORDER BY id", into(codes),
        into(descriptions), now;
    std::vector<std::pair<int, std::string>> rows;
    for (std::size_t i = 0; i < codes.size(); ++i) rows.emplace_back(codes[i], descriptions[i]);
    return rows;
}

}  // namespace korvane::Testing
