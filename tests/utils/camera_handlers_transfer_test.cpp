#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/MultipartReader.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/StreamCopier.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "camera_handlers.h"
#include "camera_handlers_fixture.h"
#include "http_client.h"
#include "responses.h"
#include "unlinked_file.h"

namespace {

namespace Utils = korvane::Utils;
using korvane::Testing::CameraHandlersTest;
using korvane::Testing::CannedCamera;
using korvane::Testing::LogCapture;
using korvane::Testing::UnlinkedFile;
using korvane::Testing::waitUntil;
using Object = Poco::JSON::Object::Ptr;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kBoundary = "----AgentTestBoundary7";
const std::string kDelimiter = "--" + kBoundary;
const std::string kOk = R"({"code":0,"data":null})";
const std::string kUnknownMistake = R"({"code":-6210,"data":null})";

// A form as the point-of-sale software sends it: the file first, then text fields.
std::string form(const std::string& file,
                 const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    std::string body = kDelimiter +
                       "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"t.evom\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" +
                       file + "\r\n";
    for (const auto& [name, value] : fields) {
        body += kDelimiter + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                value + "\r\n";
    }
    return body + kDelimiter + "--\r\n";
}

// The upload handlers, given the body as the local API hands it over: an unlinked file.
Object importTemplate(const std::string& body, const std::string& delimiter,
                      const Utils::CameraDriverPtr& driver) {
    const UnlinkedFile saved(body);
    return Utils::process_import_template(saved.fd(), delimiter, driver);
}
Object offlineUpgrade(const std::string& body, const std::string& delimiter,
                      const Utils::CameraDriverPtr& driver, bool restore) {
    const UnlinkedFile saved(body);
    return Utils::process_offline_upgrade(saved.fd(), delimiter, driver, restore);
}

// (name, content) of the parts of a multipart body the camera received.
std::map<std::string, std::string> partsOf(const std::string& body, const std::string& boundary) {
    std::map<std::string, std::string> parts;
    std::istringstream in(body);
    Poco::Net::MultipartReader reader(in, boundary);
    while (reader.hasNextPart()) {
        Poco::Net::MessageHeader header;
        reader.nextPart(header);
        std::string disposition;
        Poco::Net::NameValueCollection parameters;
        Poco::Net::MessageHeader::splitParameters(header.get("Content-Disposition", ""),
                                                  disposition, parameters);
        Poco::StreamCopier::copyToString(reader.stream(), parts[parameters.get("name", "")]);
    }
    return parts;
}

// Polls a job status handler until it reports `status`; fails on any other code.
bool reaches(const std::function<Object()>& statusHandler, int status) {
    return waitUntil(
        [&] {
            const auto envelope = statusHandler();
            return envelope->getValue<int>("code") == 0 &&
                   envelope->getValue<int>("status") == status;
        },
        10s, 50ms);
}

TEST_F(CameraHandlersTest, AnExportedArchiveImportsBackThroughTheUploadHandler) {
    const auto before = Utils::toJsonText(Utils::process_get_item_list(camera_, true));
    ASSERT_EQ(Utils::toJsonText(Utils::process_export_template(
                  Poco::JSON::Object::Ptr(new Poco::JSON::Object), camera_)),
              kOk);
    ASSERT_TRUE(reaches([&] { return Utils::process_export_template_status(camera_); }, 3));
    const auto exported = Utils::process_export_template_status(camera_);
    const auto [code, download] =
        camera_->download_template(exported->getValue<std::string>("filename"));
    ASSERT_EQ(code, 0);
    const std::string archive = download.body;

    Utils::process_clear_all_template(camera_);
    ASSERT_EQ(Utils::toJsonText(Utils::process_get_item_list(camera_, true)),
              R"({"code":0,"data":[]})");
    EXPECT_EQ(Utils::toJsonText(importTemplate(form(archive, {{"store", "12"}, {"dep", "fruit"}}),
                                               kDelimiter, camera_)),
              kOk);
    ASSERT_TRUE(reaches([&] { return Utils::process_import_template_status(camera_); }, 4));
    // A damaged archive would fail the camera's CRC check and bring nothing back.
    EXPECT_EQ(Utils::toJsonText(Utils::process_get_item_list(camera_, true)), before);

    const auto received = lastRequestOf("import_template").at("parts").as_array();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].at("size"), archive.size());
    EXPECT_EQ(received[1].at("name"), "store");
    EXPECT_EQ(received[1].at("value"), "12");
    EXPECT_EQ(received[2].at("value"), "fruit");
}

TEST_F(CameraHandlersTest, UpgradeAndRestoreSendTheFileByteForByte) {
    CannedCamera canned;
    canned.set({200, "application/json", R"({"code":0,"msg":"success"})"});
    const Utils::CameraDriverPtr driver = driverFor(canned.port());
    // Line breaks, NUL, high bytes and a near-delimiter inside the package.
    const std::string package =
        std::string("PK\x03\x04\r\n\0\xff\r\n--", 12) + kDelimiter.substr(0, 10) + "\r\n\r\ntail";

    EXPECT_EQ(Utils::toJsonText(offlineUpgrade(form(package), kDelimiter, driver, false)), kOk);
    EXPECT_EQ(Utils::toJsonText(offlineUpgrade(form(package), kDelimiter, driver, true)), kOk);

    const auto requests = canned.received();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/api/offline_upgrade");
    EXPECT_EQ(requests[1].path, "/api/start_restore");
    for (const auto& request : requests) {
        const auto start = request.body.find("--") + 2;
        const auto boundary = request.body.substr(start, request.body.find("\r\n") - start);
        const auto parts = partsOf(request.body, boundary);
        ASSERT_EQ(parts.size(), 1u) << request.path;
        EXPECT_EQ(parts.at("file"), package) << request.path;
    }
}

TEST_F(CameraHandlersTest, BrokenUploadsAnswerUnknownMistakeAndSendNothing) {
    struct Case {
        std::string body;
        std::string delimiter;
        std::string logged;
    };
    const std::string good = form("abc", {{"store", "12"}});
    const std::vector<Case> cases = {
        {good, "--OtherBoundary", "Boundary not found in request body"},
        {"", kDelimiter, "Boundary not found in request body"},
        {good.substr(0, 60), kDelimiter, "File data start not found"},
        {good.substr(0, good.find("abc") + 3), kDelimiter, "File data end not found"},
        {form(""), kDelimiter, "Invalid file data range"},
    };
    CannedCamera canned;
    canned.set({200, "application/json", R"({"code":0,"msg":"success"})"});
    const Utils::CameraDriverPtr driver = driverFor(canned.port());
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(Utils::toJsonText(importTemplate(c.body, c.delimiter, driver)), kUnknownMistake);
        EXPECT_EQ(Utils::toJsonText(offlineUpgrade(c.body, c.delimiter, driver, true)),
                  kUnknownMistake);
        EXPECT_THAT(log.text(), HasSubstr(c.logged)) << c.body;
    }
    // A field cut off after its header: the file alone would do for an upgrade, not an import.
    const std::string cut = good.substr(0, good.find("name=\"store\"") + 14);
    LogCapture log;
    EXPECT_EQ(Utils::toJsonText(importTemplate(cut, kDelimiter, driver)), kUnknownMistake);
    EXPECT_THAT(log.text(), HasSubstr("param start not found"));
    EXPECT_TRUE(canned.received().empty());
    EXPECT_EQ(Utils::toJsonText(offlineUpgrade(cut, kDelimiter, driver, false)),
              R"({"code":0,"data":null})");
}

TEST_F(CameraHandlersTest, JobStatusesAnswerMsgAndStatusAndTheCameraRefusal) {
    EXPECT_EQ(keys(Utils::process_export_template_status(camera_)),
              (Keys{"code", "filename", "msg", "status"}));
    EXPECT_EQ(keys(Utils::process_import_template_status(camera_)),
              (Keys{"code", "msg", "status"}));
    for (const bool restore : {false, true}) {
        const auto envelope = Utils::process_offline_upgrade_status(camera_, restore);
        EXPECT_EQ(keys(envelope), (Keys{"code", "msg", "status"}));
        EXPECT_EQ(envelope->getValue<int>("status"), 0);
    }
    EXPECT_EQ(requestsOf("offline_upgrade_status").size(), 1u);
    EXPECT_EQ(requestsOf("get_restore_status").size(), 1u);

    // The restore job, started through the upload handler, is what the restore status reports.
    EXPECT_EQ(Utils::toJsonText(offlineUpgrade(form("backup"), kDelimiter, camera_, true)), kOk);
    EXPECT_TRUE(reaches([&] { return Utils::process_offline_upgrade_status(camera_, true); }, 4));
    EXPECT_EQ(Utils::process_offline_upgrade_status(camera_, false)->getValue<int>("status"), 0);

    fault({{"command", "import_template"}, {"error_code", -6211}});
    EXPECT_EQ(Utils::toJsonText(importTemplate(form("x"), kDelimiter, camera_)),
              R"({"code":-6211,"data":null})");
}

}  // namespace
