#include <Poco/Net/ServerSocket.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "camera_errors.h"
#include "camera_simulator.h"
#include "http_client.h"
#include "log_capture.h"
#include "logger.h"
#include "migrator.h"
#include "models_transfer.h"
#include "pellix_driver.h"
#include "schema_migrations.h"
#include "sqlite_db.h"
#include "temp_dir.h"
#include "template_archive.h"
#include "wait_for_status.h"

namespace {

namespace json = boost::json;
namespace Models = korvane::Utils::Models;
using korvane::CameraSim::CameraSimulator;
using korvane::Engine::DB::SQLiteDB;
using korvane::Engine::Driver::PellixDriver;
using korvane::Testing::httpRequest;
using korvane::Testing::TempDir;
using korvane::Utils::decompressEVOM;
using korvane::Utils::wait_for_status;
using korvane::Utils::Errors::ExportStatus;
using korvane::Utils::Errors::ImportStatus;
using korvane::Utils::Errors::UpgradeStatus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr int kCameraLost = -6103;
constexpr int kNetworkError = -6207;

using korvane::Testing::closedPort;
using korvane::Testing::LogCapture;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// A camera simulator with fast jobs, a migrated database in a temporary folder and a driver
// talking to the simulator over loopback.
class PellixDriverTransferTest : public ::testing::Test {
  protected:
    PellixDriverTransferTest() : sim_(simOptions()) {
        sim_.start();
        db_ = std::make_unique<SQLiteDB>(dir_.file("service.db"));
        db_->Execute(korvane::Engine::DB::kMigrationsTableDdl);
        korvane::Engine::DB::Migrator migrator(db_->GetSession());
        for (const auto& [name, sql] :
             korvane::Engine::DB::schemaMigrations(dir_.file("images"), "GNU/Linux")) {
            migrator.addMigration(name, sql);
        }
        migrator.migrate();
        driver_ = makeDriver(sim_.port());
    }

    static CameraSimulator::Options simOptions() {
        CameraSimulator::Options options;
        options.jobStepMs = 20;
        return options;
    }

    std::unique_ptr<PellixDriver> makeDriver(int port) {
        PellixDriver::Timeouts timeouts;
        timeouts.standard = 1500ms;
        return std::make_unique<PellixDriver>("127.0.0.1", port, dbMutex_, *db_, timeouts);
    }

    json::value sim(const std::string& method, const std::string& path,
                    const std::string& body = "") {
        const auto result =
            httpRequest(sim_.port(), method, path, body, body.empty() ? "" : "application/json");
        EXPECT_EQ(result.status, 200) << method << ' ' << path << ": " << result.body;
        return json::parse(result.body);
    }

    // What the camera received for one command, oldest first.
    json::array received(const std::string& command) {
        return sim("GET", "/sim/requests?command=" + command).at("requests").as_array();
    }

    json::object products() {
        return sim("GET", "/sim/state").at("device").at("products").as_object();
    }

    std::string firmware() {
        return json::value_to<std::string>(
            sim("GET", "/sim/state").at("device").at("identity").at("firmware"));
    }

    std::pair<bool, Models::ExportTemplateStatusRes> waitForExport(PellixDriver& driver) {
        return wait_for_status<ExportStatus, Models::ExportTemplateStatusRes>(
            [&] { return driver.export_template_status(); }, ExportStatus::Completed,
            korvane::Utils::Errors::is_export_failure,
            [](ExportStatus s) { return korvane::Utils::Errors::to_string(s); }, "export template",
            200, 10);
    }

    std::pair<bool, Models::ImportTemplateStatusRes> waitForImport() {
        return wait_for_status<ImportStatus, Models::ImportTemplateStatusRes>(
            [&] { return driver_->import_template_status(); }, ImportStatus::Completed,
            korvane::Utils::Errors::is_terminal_failure,
            [](ImportStatus s) { return korvane::Utils::Errors::to_string(s); }, "import template",
            200, 10);
    }

    std::pair<bool, Models::OfflineUpgradeStatusRes> waitForUpgrade(bool restore) {
        return wait_for_status<UpgradeStatus, Models::OfflineUpgradeStatusRes>(
            [&] { return driver_->offline_upgrade_status(restore); }, UpgradeStatus::Completed,
            korvane::Utils::Errors::is_upgrade_failure,
            [](UpgradeStatus s) { return korvane::Utils::Errors::to_string(s); }, "offline upgrade",
            200, 10);
    }

    // Exports the given products and downloads the finished archive.
    std::string exportArchive(const std::vector<std::string>& ids) {
        EXPECT_EQ(driver_->export_template({ids}), 0);
        const auto [done, status] = waitForExport(*driver_);
        EXPECT_TRUE(done) << status.msg;
        const auto [code, response] = driver_->download_template(status.filename);
        EXPECT_EQ(code, 0);
        return response.body;
    }

    TempDir dir_;
    CameraSimulator sim_;
    std::mutex dbMutex_;
    std::unique_ptr<SQLiteDB> db_;
    std::unique_ptr<PellixDriver> driver_;
};

TEST_F(PellixDriverTransferTest, ExportPollsToCompletionAndDownloadsTheArchive) {
    LogCapture log;
    ASSERT_EQ(driver_->export_template({{"10002", "10004"}}), 0);
    const auto [done, status] = waitForExport(*driver_);
    ASSERT_TRUE(done);
    EXPECT_EQ(status.status, ExportStatus::Completed);
    EXPECT_EQ(status.msg, "completed");
    ASSERT_THAT(status.filename, HasSubstr(".evom"));

    const auto [code, response] = driver_->download_template(status.filename);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(response.status, 200);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : decompressEVOM(response.body)) {
        names.push_back(name);
        EXPECT_FALSE(bytes.empty()) << name;
    }
    EXPECT_THAT(names, ElementsAre("10002.evo", "10004.evo"));

    const auto exports = received("export_template");
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_EQ(json::parse(json::value_to<std::string>(exports[0].at("body"))),
              json::parse(R"({"ids":["10002","10004"]})"));
    EXPECT_EQ(received("export_template_status").back().at("method"), "GET");
    const std::string lines = log.text();
    EXPECT_THAT(lines, HasSubstr("export_template() called with ids: [10002, 10004];"));
    EXPECT_THAT(lines, HasSubstr("export_template_status() completed; msg=completed, filename=" +
                                 status.filename + ", status=3;"));
    EXPECT_THAT(lines, HasSubstr("export template completed successfully"));
    EXPECT_THAT(lines, HasSubstr("download_template() completed, response size: " +
                                 std::to_string(response.body.size()) + ";"));
}

TEST_F(PellixDriverTransferTest, ExportWithoutIdsSendsAnEmptyListAndFailedExportStopsPolling) {
    LogCapture log;
    ASSERT_EQ(driver_->export_template({}), 0);
    EXPECT_EQ(json::value_to<std::string>(received("export_template").back().at("body")),
              R"({"ids":[]})");
    EXPECT_THAT(log.text(), HasSubstr("export_template() called with no ids;"));
    ASSERT_TRUE(waitForExport(*driver_).first);

    // Products without templates give the camera nothing to put in an archive.
    ASSERT_EQ(driver_->export_template({{"no-such-product"}}), 0);
    const auto [done, status] = waitForExport(*driver_);
    EXPECT_FALSE(done);
    EXPECT_EQ(status.status, ExportStatus::GenerateFailed);
    EXPECT_EQ(status.filename, "");
    EXPECT_THAT(log.text(), HasSubstr("export template failed with status 6: fail to generate"));
}

TEST_F(PellixDriverTransferTest, ImportUploadsTheTemplateFileWithItsParameters) {
    const auto files = decompressEVOM(exportArchive({"10003"}));
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::uint8_t>& evo = files[0].second;
    ASSERT_EQ(driver_->delete_item({"10003"}), 0);
    ASSERT_FALSE(products().contains("10003"));

    LogCapture log;
    ASSERT_EQ(driver_->import_template({evo, {{"store", "12"}, {"mode", "merge"}}}), 0);
    const auto [done, status] = waitForImport();
    ASSERT_TRUE(done) << status.msg;
    EXPECT_EQ(status.msg, "completed");
    // The camera read the very templates it had exported.
    EXPECT_EQ(products().at("10003").at("templates").as_array().size(), 9u);

    const auto uploads = received("import_template");
    ASSERT_EQ(uploads.size(), 1u);
    const auto& parts = uploads[0].at("parts").as_array();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].at("name"), "file");
    EXPECT_EQ(parts[0].at("filename"), "import_template.evo");
    EXPECT_EQ(parts[0].at("content_type"), "application/octet-stream");
    EXPECT_EQ(parts[0].at("size").to_number<std::size_t>(), evo.size());
    EXPECT_EQ(parts[1].at("name"), "store");
    EXPECT_EQ(parts[1].at("value"), "12");
    EXPECT_EQ(parts[2].at("name"), "mode");
    EXPECT_EQ(parts[2].at("value"), "merge");
    const std::string lines = log.text();
    EXPECT_THAT(
        lines,
        HasSubstr("import_template() called with file size: " + std::to_string(evo.size()) + ";"));
    EXPECT_THAT(lines, HasSubstr("import_template_status() completed; msg=completed, status=4;"));
}

TEST_F(PellixDriverTransferTest, FailedImportsEndThePolling) {
    struct Case {
        std::string failNext;  // /sim/config fail_next_job for the import, or empty
        std::string file;
        ImportStatus expected;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"", "", ImportStatus::VerifyFailed,
         "import template failed with status 7: fail to verify"},
        {R"({"fail_next_job":{"import":5}})", "PXEVO1\nid=1\n", ImportStatus::Failed,
         "import template failed with status 5: fail to import"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        if (!c.failNext.empty()) sim("POST", "/sim/config", c.failNext);
        LogCapture log;
        ASSERT_EQ(driver_->import_template({bytesOf(c.file), {}}), 0);
        const auto [done, status] = waitForImport();
        EXPECT_FALSE(done);
        EXPECT_EQ(status.status, c.expected);
        EXPECT_THAT(log.text(), HasSubstr(c.line));
    }
}

TEST_F(PellixDriverTransferTest, OfflineUpgradeInstallsThePackage) {
    const std::string before = firmware();
    LogCapture log;
    const std::string package(3000, '\x7f');
    ASSERT_EQ(driver_->offline_upgrade({bytesOf(package)}, false), 0);
    const auto [done, status] = waitForUpgrade(false);
    ASSERT_TRUE(done) << status.msg;
    EXPECT_EQ(status.msg, "completed");
    EXPECT_NE(firmware(), before);

    const auto uploads = received("offline_upgrade");
    ASSERT_EQ(uploads.size(), 1u);
    const auto& parts = uploads[0].at("parts").as_array();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].at("name"), "file");
    EXPECT_EQ(parts[0].at("filename"), "offline_upgrade.evo");
    EXPECT_EQ(parts[0].at("size").to_number<std::size_t>(), package.size());
    EXPECT_EQ(received("offline_upgrade_status").back().at("method"), "GET");
    EXPECT_TRUE(received("get_restore_status").empty());
    const std::string lines = log.text();
    EXPECT_THAT(lines, HasSubstr("offline_upgrade() called with file size: 3000;"));
    EXPECT_THAT(lines, HasSubstr("offline_upgrade_status() completed; msg=completed, status=4;"));
    EXPECT_THAT(lines, HasSubstr("offline upgrade completed successfully"));
}

TEST_F(PellixDriverTransferTest, RestoreReplacesTheTemplatesWithTheBackup) {
    const std::string backup = exportArchive({"10004", "10008"});
    ASSERT_GT(products().size(), 2u);
    LogCapture log;
    ASSERT_EQ(driver_->offline_upgrade({bytesOf(backup)}, true), 0);
    const auto [done, status] = waitForUpgrade(true);
    ASSERT_TRUE(done) << status.msg;

    std::vector<std::string> ids;
    for (const auto& [id, product] : products()) ids.emplace_back(id);
    EXPECT_THAT(ids, ElementsAre("10004", "10008"));
    const auto uploads = received("start_restore");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].at("parts").as_array()[0].at("size").to_number<std::size_t>(),
              backup.size());
    const auto polls = received("get_restore_status");
    ASSERT_FALSE(polls.empty());
    EXPECT_EQ(polls.back().at("method"), "POST");
    EXPECT_EQ(polls.back().at("body"), "null");
    EXPECT_TRUE(received("offline_upgrade_status").empty());
    const std::string lines = log.text();
    EXPECT_THAT(
        lines,
        HasSubstr("start_restore() called with file size: " + std::to_string(backup.size()) + ";"));
    EXPECT_THAT(lines, HasSubstr("get_restore_status() completed; msg=completed, status=4;"));
}

TEST_F(PellixDriverTransferTest, CameraErrorsReachTheCaller) {
    LogCapture log;
    sim("POST", "/sim/fault", R"({"command":"import_template_status","error_code":-6211})");
    sim("POST", "/sim/fault", R"({"command":"start_restore","http_status":503})");
    const auto [code, status] = driver_->import_template_status();
    EXPECT_EQ(code, -6211);
    EXPECT_EQ(status.msg, "");
    EXPECT_EQ(driver_->offline_upgrade({bytesOf("x")}, true), 503);
    EXPECT_TRUE(driver_->isConnected());
    const std::string lines = log.text();
    EXPECT_THAT(lines, HasSubstr("import_template_status() failed: code = -6211;"));
    EXPECT_THAT(lines, HasSubstr("start_restore() network failed: code = 503;"));
}

TEST_F(PellixDriverTransferTest, LostCameraStopsEveryOperation) {
    auto driver = makeDriver(closedPort());
    LogCapture log;
    EXPECT_EQ(driver->export_template({}), kCameraLost);
    EXPECT_FALSE(driver->isConnected());
    EXPECT_EQ(driver->import_template({bytesOf("x"), {}}), kCameraLost);
    EXPECT_EQ(driver->offline_upgrade({bytesOf("x")}, false), kCameraLost);
    EXPECT_EQ(driver->offline_upgrade_status(true).first, kCameraLost);
    EXPECT_EQ(driver->import_template_status().first, kCameraLost);

    int calls = 0;
    const auto [done, status] = wait_for_status<ExportStatus, Models::ExportTemplateStatusRes>(
        [&] {
            ++calls;
            return driver->export_template_status();
        },
        ExportStatus::Completed, korvane::Utils::Errors::is_export_failure,
        [](ExportStatus s) { return korvane::Utils::Errors::to_string(s); }, "export template", 50,
        1);
    EXPECT_FALSE(done);
    EXPECT_EQ(calls, 1);
    const std::string lines = log.text();
    EXPECT_THAT(lines, HasSubstr("import_template() exception: "));
    EXPECT_THAT(lines, HasSubstr("get_restore_status() exception: "));
    EXPECT_THAT(lines, HasSubstr("export template failed: camera lost"));
}

TEST_F(PellixDriverTransferTest, DownloadPassesOnTheCamerasRefusal) {
    const auto [code, response] = driver_->download_template("templates_missing.evom");
    EXPECT_EQ(code, kNetworkError);
    EXPECT_EQ(response.status, 404);
    EXPECT_THAT(response.body, HasSubstr("File does not exist"));
    EXPECT_EQ(received("download").back().at("path"), "/download/templates_missing.evom");
}

TEST_F(PellixDriverTransferTest, DownloadWithoutAnAnswerIsToldApart) {
    struct Case {
        std::string what;
        std::string fault;  // for the simulator, or empty: nothing listens on the port
    };
    const std::vector<Case> cases = {
        {"refused", ""},
        {"dropped", R"({"command":"download","drop":true})"},
        {"timed out", R"({"command":"download","delay_ms":4000})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto driver = c.fault.empty() ? makeDriver(closedPort()) : makeDriver(sim_.port());
        if (!c.fault.empty()) sim("POST", "/sim/fault", c.fault);
        LogCapture log;
        const auto started = std::chrono::steady_clock::now();
        const auto [code, response] = driver->download_template("templates_1.evom");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3500ms);
        EXPECT_EQ(code, kNetworkError);
        EXPECT_EQ(response.status, 0);
        EXPECT_EQ(response.body, "");
        EXPECT_THAT(log.text(), HasSubstr("download_template() exception: "));
        // Downloads say nothing about whether the JSON commands reach the camera.
        EXPECT_TRUE(driver->isConnected());
        sim("POST", "/sim/fault/clear");
    }
}

TEST_F(PellixDriverTransferTest, DownloadRefusesNamesOutsideTheDownloadFolder) {
    sim("POST", "/sim/requests/clear");
    for (const std::string name : {"../api/reboot", "a/b.evom", "%2e%2e", "..", "", "x.evom?y",
                                   "x#y", "bad\\name", "line\nbreak"}) {
        SCOPED_TRACE(name);
        const auto [code, response] = driver_->download_template(name);
        EXPECT_EQ(code, kNetworkError);
        EXPECT_EQ(response.status, 400);
    }
    EXPECT_TRUE(sim("GET", "/sim/requests").at("requests").as_array().empty());
}

// ---- wait_for_status on its own, with scripted status answers.

struct Step {
    int code;
    int status;
    std::string msg;
};

struct Outcome {
    bool done;
    Models::ExportTemplateStatusRes last;
    int calls;
    std::string log;
};

Outcome pollExport(const std::vector<Step>& script, int maxAttempts, int intervalMs) {
    LogCapture log;
    int calls = 0;
    auto [done, last] = wait_for_status<ExportStatus, Models::ExportTemplateStatusRes>(
        [&] {
            const Step& step = script.at(std::min<std::size_t>(calls, script.size() - 1));
            ++calls;
            Models::ExportTemplateStatusRes res;
            res.msg = step.msg;
            res.filename = step.msg + ".evom";
            res.status = static_cast<ExportStatus>(step.status);
            return std::make_pair(step.code, res);
        },
        ExportStatus::Completed, korvane::Utils::Errors::is_export_failure,
        [](ExportStatus s) { return korvane::Utils::Errors::to_string(s); }, "export template",
        maxAttempts, intervalMs);
    return {done, last, calls, log.text()};
}

TEST(WaitForStatusTest, StopsOnTheFirstVerdict) {
    struct Case {
        std::vector<Step> script;
        bool done;
        int calls;
        std::string msg;  // of the record handed back
        std::string line;
    };
    const std::vector<Case> cases = {
        {{{0, 1, "a"}, {0, 1, "b"}, {0, 3, "c"}},
         true,
         3,
         "c",
         "export template completed successfully"},
        {{{0, 1, "a"}, {0, 6, "b"}},
         false,
         2,
         "b",
         "export template failed with status 6: fail to generate"},
        {{{0, 4, "a"}}, false, 1, "a", "export template failed with status 4: unknown"},
        // A lost camera hands back what the attempt before it said.
        {{{0, 1, "a"}, {kCameraLost, 3, "ignored"}},
         false,
         2,
         "a",
         "export template failed: camera lost"},
        {{{kCameraLost, 3, "ignored"}}, false, 1, "", "export template failed: camera lost"},
        // Other codes are no verdict: the record decides.
        {{{404, 0, ""}, {0, 3, "c"}}, true, 2, "c", "export template completed successfully"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line + " after " + std::to_string(c.calls));
        const Outcome outcome = pollExport(c.script, 10, 0);
        EXPECT_EQ(outcome.done, c.done);
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.last.msg, c.msg);
        EXPECT_EQ(outcome.last.filename, c.msg.empty() ? "" : c.msg + ".evom");
        EXPECT_THAT(outcome.log, HasSubstr(c.line));
        EXPECT_THAT(outcome.log, HasSubstr("Checking export template status (attempt #" +
                                           std::to_string(c.calls - 1) + ")..."));
        EXPECT_THAT(outcome.log, Not(HasSubstr("exceeded")));
    }
}

TEST(WaitForStatusTest, GivesUpAfterTheLastAttempt) {
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = pollExport({{0, 1, "in progress"}}, 5, 20);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);  // a pause after each attempt
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(outcome.calls, 5);
    EXPECT_EQ(outcome.last.msg, "in progress");
    EXPECT_THAT(outcome.log, HasSubstr("Checking export template status (attempt #4)..."));
    EXPECT_THAT(outcome.log, Not(HasSubstr("attempt #5")));
    EXPECT_THAT(outcome.log, HasSubstr("export template status check exceeded max attempts (5)"));
}

TEST(WaitForStatusTest, ImportKeepsPollingUntilItsOwnFailures) {
    // Import status 1 has no meaning of its own and must not end the wait; 5 and 7 do.
    for (const auto& [failure, text] :
         std::vector<std::pair<int, std::string>>{{5, "fail to import"}, {7, "fail to verify"}}) {
        LogCapture log;
        const std::vector<int> script = {1, 2, 3, failure};
        int calls = 0;
        const auto [done, last] = wait_for_status<ImportStatus, Models::ImportTemplateStatusRes>(
            [&] {
                Models::ImportTemplateStatusRes res;
                res.status = static_cast<ImportStatus>(script.at(calls++));
                return std::make_pair(0, res);
            },
            ImportStatus::Completed, korvane::Utils::Errors::is_terminal_failure,
            [](ImportStatus s) { return korvane::Utils::Errors::to_string(s); }, "import template",
            10, 0);
        EXPECT_FALSE(done);
        EXPECT_EQ(calls, 4);
        EXPECT_THAT(log.text(), HasSubstr("import template failed with status " +
                                          std::to_string(failure) + ": " + text));
    }
}

}  // namespace
