#include "camera_errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace korvane::Utils::Errors;

TEST(CameraErrorsTest, TextsOfCodes) {
    const std::vector<std::pair<int, std::string>> cases = {
        {-10002, "Monitoring server not available"},
        {-10001, "Error on monitoring server"},
        {-6500, "Algorithm API error"},
        {-6213, "Parameter error"},
        {-6207, "Network error"},
        {-6204, "Failed to write file"},
        {-6203, "Failed to write file"},
        {-6144, "App update faild"},
        {-6138, "Device firmware mismatch, function limited"},
        {-6131, "The device is already the latest version"},
        {-6117, "Device communication unknown command"},
        {-6103, "Camera lost"},
        // Neither the band below -6400 nor HTTP statuses have texts of their own.
        {-6450, "Unrecognized CameraError"},
        {404, "Unrecognized CameraError"},
        {0, "Unrecognized CameraError"},
        {12345, "Unrecognized CameraError"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(toString(static_cast<CameraError>(code)), text) << code;
    }
}

TEST(CameraErrorsTest, CodesMapToTheirErrorOrThrow) {
    const std::vector<std::pair<int, int>> known = {
        {-6500, -6500}, {-6450, -6500}, {-6401, -6500}, {-6214, -6214},
        {-6203, -6203}, {-6124, -6124}, {-6109, -6109}, {-6103, -6103},
    };
    for (const auto& [code, expected] : known) {
        EXPECT_EQ(static_cast<int>(toCameraError(code)), expected) << code;
    }
    for (const int code : {-10001, -10002, 0, -6400, -6501, -6104, 200}) {
        try {
            toCameraError(code);
            ADD_FAILURE() << code << " was accepted";
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "Unknown CameraError code: " + std::to_string(code));
        }
    }
}

TEST(CameraErrorsTest, JobStatusTextsAndFailures) {
    struct Row {
        int value;
        const char* import;
        const char* exported;
        const char* upgrade;
        bool importFails, exportFails, upgradeFails;
    };
    const std::vector<Row> rows = {
        {0, "no import task", "no export task", "no upgrade task", false, false, false},
        {1, "unknown", "in progress", "transferring", false, false, false},
        {2, "importing", "unknown", "upgrading", false, false, false},
        {3, "verifying package integrity", "completed", "verifying", false, false, false},
        {4, "completed", "unknown", "completed", false, true, false},
        {5, "fail to import", "unknown", "fail to upgrade", true, false, true},
        {6, "unknown", "fail to generate", "fail to transfer", false, true, true},
        {7, "fail to verify", "unknown", "fail to verify", true, false, true},
        {8, "unknown", "unknown", "unknown", false, false, false},
        {255, "unknown", "unknown", "unknown", false, false, false},
    };
    for (const auto& row : rows) {
        const auto value = static_cast<std::uint8_t>(row.value);
        EXPECT_EQ(to_string(static_cast<ImportStatus>(value)), row.import) << row.value;
        EXPECT_EQ(to_string(static_cast<ExportStatus>(value)), row.exported) << row.value;
        EXPECT_EQ(to_string(static_cast<UpgradeStatus>(value)), row.upgrade) << row.value;
        EXPECT_EQ(is_terminal_failure(static_cast<ImportStatus>(value)), row.importFails);
        EXPECT_EQ(is_export_failure(static_cast<ExportStatus>(value)), row.exportFails);
        EXPECT_EQ(is_upgrade_failure(static_cast<UpgradeStatus>(value)), row.upgradeFails);
    }
}

TEST(CameraErrorsTest, HardwareExceptionKeepsCodeAndMessage) {
    const HardwareException error("-6103", "Ошибка при выполнении команды: Camera lost");
    EXPECT_EQ(error.code(), "-6103");
    EXPECT_STREQ(error.what(), "Ошибка при выполнении команды: Camera lost");
    const std::runtime_error& base = error;
    EXPECT_STREQ(base.what(), "Ошибка при выполнении команды: Camera lost");
}

}  // namespace
