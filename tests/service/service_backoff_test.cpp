#include "service_backoff.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "refusal_streak.h"
#include "repeat_limiter.h"

using korvane::Engine::Sync::RefusalStreak;
using korvane::Engine::Sync::ServiceBackoff;
using namespace std::chrono_literals;

TEST(ServiceBackoff, FailuresWaitAtRandomUpToTheDoublingCeilingOrTheRetryAfter) {
    struct Case {
        const char* what;
        std::chrono::seconds cap;
        int failedPasses;  // before the pass that is checked
        int status;        // the pass's answer, 0 for none
        const char* retryAfter;
        std::chrono::milliseconds least, most;
    } cases[] = {
        {"answered", 300s, 0, 404, "", 1s, 1s},
        {"first failure", 300s, 0, 0, "", 0ms, 2s},
        {"fourth failure", 300s, 3, 429, "", 0ms, 16s},
        {"capped", 5s, 9, 500, "", 0ms, 5s},
        {"Retry-After seconds", 300s, 2, 503, "7", 7s, 7s},
        {"Retry-After above the cap", 5s, 0, 429, "60", 5s, 5s},
        {"Retry-After only on 429 and 503", 300s, 0, 500, "7", 0ms, 2s},
        {"fixed pause without a cap", 0s, 3, 503, "60", 1s, 1s},
    };
    for (const auto& c : cases) {
        for (int draw = 0; draw < 50; ++draw) {
            ServiceBackoff backoff(c.cap);
            for (int i = 0; i < c.failedPasses; ++i) {
                backoff.unreachable();
                backoff.takePause();
            }
            if (c.status == 0) backoff.unreachable();
            if (c.status != 0) backoff.answered(c.status, c.retryAfter);
            EXPECT_EQ(backoff.failing(), c.status != 404 && c.cap.count() > 0) << c.what;
            const auto pause = backoff.takePause();
            EXPECT_GE(pause, c.least) << c.what;
            EXPECT_LE(pause, c.most) << c.what;
        }
    }
    // One answer ends the backoff: the next failure starts from the first ceiling again.
    ServiceBackoff backoff;
    for (int i = 0; i < 9; ++i) {
        backoff.unreachable();
        backoff.takePause();
    }
    backoff.answered(200, "");
    EXPECT_EQ(backoff.currentWait(), 0ms);
    backoff.unreachable();
    EXPECT_LE(backoff.takePause(), 2s);
}

TEST(ServiceBackoff, RetryAfterIsDeltaSecondsOrAnHttpDate) {
    const auto now = std::chrono::system_clock::from_time_t(1796774400);  // 2026-12-09 00:00 UTC
    EXPECT_EQ(ServiceBackoff::parseRetryAfter("120", now), 120s);
    EXPECT_EQ(ServiceBackoff::parseRetryAfter("Wed, 09 Dec 2026 00:01:30 GMT", now), 90s);
    EXPECT_EQ(ServiceBackoff::parseRetryAfter("Tue, 08 Dec 2026 23:00:00 GMT", now), 0s);
    EXPECT_EQ(ServiceBackoff::parseRetryAfter("soon", now), std::nullopt);
    EXPECT_EQ(ServiceBackoff::parseRetryAfter("", now), std::nullopt);
}

TEST(RepeatLimiter, TheSameFailureIsWrittenOncePerIntervalWithTheCountHeldBack) {
    korvane::Engine::Sync::RepeatLimiter limiter(200ms);
    EXPECT_EQ(limiter.admit("refused 503"), "");
    EXPECT_EQ(limiter.admit("refused 503"), std::nullopt);
    EXPECT_EQ(limiter.admit("refused 503"), std::nullopt);
    EXPECT_EQ(limiter.admit("unreachable"), "") << "another kind is written at once";
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(limiter.admit("refused 503"), " (2 more since the last line)");
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(limiter.admit("refused 503"), "");
}

TEST(RefusalStreak, FiveLastingRefusalsOfOneEntryInARowSetItAside) {
    // Entry ids and statuses in answer order, and the answer that sets the entry aside (-1: none).
    const std::pair<std::vector<std::pair<int, int>>, int> cases[] = {
        {{{1, 400}, {1, 404}, {1, 409}, {1, 413}, {1, 415}}, 4},
        // Answers about the service neither count nor break the row.
        {{{1, 410},
          {1, 503},
          {1, 401},
          {1, 403},
          {1, 408},
          {1, 429},
          {1, 0},
          {1, 422},
          {1, 422},
          {1, 422},
          {1, 422}},
         10},
        // Another entry starts over.
        {{{1, 422}, {1, 422}, {1, 422}, {1, 422}, {2, 422}, {1, 422}, {1, 422}}, -1},
    };
    for (const auto& [answers, expected] : cases) {
        RefusalStreak streak;
        std::vector<int> setAside;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            if (streak.setAsideAfter(answers[i].first, answers[i].second)) setAside.push_back(i);
        }
        EXPECT_EQ(setAside, expected < 0 ? std::vector<int>{} : std::vector<int>{expected});
    }
}
