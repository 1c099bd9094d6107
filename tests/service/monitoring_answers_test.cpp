#include "monitoring_answers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

using namespace korvane::Engine::Sync;
using std::chrono::seconds;

namespace {

std::string tokenAnswer(const std::string& expiresIn) {
    return R"({"access_token":"a","expires_in":)" + expiresIn +
           R"(,"refresh_expires_in":1800,"refresh_token":"r","scope":"s","session_state":"x",)"
           R"("token_type":"Bearer"})";
}

}  // namespace

// A token lifetime at either end of int64 used to overflow the clock arithmetic.
TEST(MonitoringAnswers, RenewalTimeStaysWithinTenYearsWhateverTheLifetime) {
    const auto now = std::chrono::system_clock::now();
    const auto tenYears = seconds(10LL * 365 * 24 * 3600);
    const struct {
        std::string expiresIn;
        std::chrono::system_clock::time_point renewal;
    } cases[] = {
        {"300", now + seconds(240)},
        {"30", now - seconds(30)},
        {"9223372036854775807", now + tenYears - seconds(60)},
        {"-9223372036854775808", now - seconds(60)},
    };
    for (const auto& c : cases) {
        const TokenSettings token = parseTokenAnswer(tokenAnswer(c.expiresIn));
        EXPECT_EQ(renewalTime(now, token.expiresIn, 60), c.renewal) << c.expiresIn;
    }
}

// The settings are ints and the interval becomes milliseconds; a number beyond int used to wrap
// and overflow instead of being refused.
TEST(MonitoringAnswers, SourceStateRefusesNumbersBeyondInt) {
    const auto answer = [](const std::string& threshold, const std::string& interval) {
        return R"({"is_source_mode_enabled":true,"data_source":{"template_threshold":)" +
               threshold + R"(,"polling_interval":)" + interval + "}}";
    };
    const auto state = parseSourceState(answer("12", "2147483647"));
    ASSERT_TRUE(state.settings.has_value());
    EXPECT_EQ(state.settings->templateThreshold, 12);
    EXPECT_EQ(state.settings->pollingIntervalSec, 2147483647);

    EXPECT_THROW(parseSourceState(answer("12", "9223372036854775807")), std::out_of_range);
    EXPECT_THROW(parseSourceState(answer("2147483648", "45")), std::out_of_range);
    EXPECT_THROW(parseSourceState(answer("-2147483649", "45")), std::out_of_range);
    EXPECT_FALSE(parseSourceState(R"({"is_source_mode_enabled":false})").settings.has_value());
}
