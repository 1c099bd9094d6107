#include "in_process_server.h"

#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "server.h"

namespace korvane::Fuzz {

namespace {

class MemoryResponse : public Poco::Net::HTTPServerResponse {
  public:
    void sendContinue() override {}
    std::ostream& send() override {
        sent_ = true;
        return body_;
    }
    void sendFile(const std::string&, const std::string&) override { sent_ = true; }
    void sendBuffer(const void* buffer, std::size_t length) override {
        sent_ = true;
        body_.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(length));
    }
    void redirect(const std::string&, HTTPStatus status) override { setStatus(status); }
    void requireAuthentication(const std::string&) override { setStatus(HTTP_UNAUTHORIZED); }
    bool sent() const override { return sent_; }
    std::string body() const { return body_.str(); }

  private:
    std::ostringstream body_;
    bool sent_ = false;
};

class MemoryRequest : public Poco::Net::HTTPServerRequest {
  public:
    MemoryRequest(const std::string& method, const std::string& target, const std::string& body,
                  MemoryResponse& response)
        : body_(body), response_(response), params_(new Poco::Net::HTTPServerParams) {
        setMethod(method);
        setURI(target);
        setVersion(HTTP_1_1);
        if (!body.empty()) {
            setContentLength64(static_cast<Poco::Int64>(body.size()));
            setContentType("application/json");
        }
    }
    std::istream& stream() override { return body_; }
    const Poco::Net::SocketAddress& clientAddress() const override { return loopback_; }
    const Poco::Net::SocketAddress& serverAddress() const override { return loopback_; }
    const Poco::Net::HTTPServerParams& serverParams() const override { return *params_; }
    Poco::Net::HTTPServerResponse& response() const override { return response_; }
    bool secure() const override { return false; }

  private:
    std::istringstream body_;
    MemoryResponse& response_;
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::SocketAddress loopback_{"127.0.0.1", 1};
};

// A loopback port that was free a moment ago: the camera there refuses every connection at once.
Poco::UInt16 closedPort() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    const Poco::UInt16 port = probe.address().port();
    probe.close();
    return port;
}

struct Folder {
    std::string path;
    Folder() {
        std::string pattern = std::filesystem::is_directory("/dev/shm")
                                  ? "/dev/shm/korvane-fuzz-XXXXXX"
                                  : "/tmp/korvane-fuzz-XXXXXX";
        require(mkdtemp(pattern.data()) != nullptr, "no temporary folder");
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& throwAwayFolder() {
    static Folder folder;
    return folder.path;
}

namespace {

Engine::Test::Server& server() {
    static std::unique_ptr<Engine::Test::Server> instance = [] {
        const std::string& home = throwAwayFolder();
        setenv("HOME", home.c_str(), 1);
        const std::string appData = home + "/.local/share/KORVANE/PellixAgent";
        std::filesystem::create_directories(appData);
        std::filesystem::create_directories(home + "/Documents/KORVANE/PellixAgent");
        std::ofstream(appData + "/config.json")
            << R"({"device_ip":"127.0.0.1","device_port":")" << closedPort()
            << R"(","monitoring_service_address":"","file_storage_service_address":""})";
        return std::make_unique<Engine::Test::Server>(0, appData + "/service.db");
    }();
    return *instance;
}

}  // namespace

Answer handle(const std::string& method, const std::string& target, const std::string& body) {
    MemoryResponse response;
    MemoryRequest request(method, target, body, response);
    server().HandleSession(request, response);
    require(response.sent(), "no answer sent");
    return Answer{static_cast<int>(response.getStatus()), response.getContentType(),
                  response.body()};
}

void require(bool condition, const char* message) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", message);
        std::abort();
    }
}

bool isJson(const std::string& text) {
    try {
        Poco::JSON::Parser().parse(text);
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

}  // namespace korvane::Fuzz
