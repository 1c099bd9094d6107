#include "metrics_exposition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace korvane::Utils::Metrics;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(MetricsExposition, CountersKeepTheirLabelsApartAndEscapeThem) {
    Family<Counter> requests({"route", "code"});
    requests.at({"get_result", "200"}).add();
    requests.at({"get_result", "200"}).add(2);
    requests.at({"get_result", "404"}).add();
    requests.at({"say \"hi\"\\\n", "200"}).add();
    Exposition out;
    out.counters("pellix_requests_total", "Requests.", requests);
    const std::string& text = out.text();
    EXPECT_THAT(text, HasSubstr("# HELP pellix_requests_total Requests.\n"
                                "# TYPE pellix_requests_total counter\n"));
    EXPECT_THAT(text, HasSubstr("pellix_requests_total{route=\"get_result\",code=\"200\"} 3\n"));
    EXPECT_THAT(text, HasSubstr("pellix_requests_total{route=\"get_result\",code=\"404\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("{route=\"say \\\"hi\\\"\\\\\\n\",code=\"200\"} 1\n"));
}

TEST(MetricsExposition, HistogramBucketsAreCumulativeWithSumAndCount) {
    Family<Histogram> latency({"route"});
    for (std::chrono::nanoseconds elapsed : {500000ns, 20000000ns, 20000000ns, 60000000000ns}) {
        latency.at({"r"}).observe(elapsed);
    }
    Exposition out;
    out.histograms("pellix_seconds", "Latency.", latency);
    const std::string& text = out.text();
    EXPECT_THAT(text, HasSubstr("pellix_seconds_bucket{route=\"r\",le=\"0.001\"} 1\n"
                                "pellix_seconds_bucket{route=\"r\",le=\"0.0025\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("pellix_seconds_bucket{route=\"r\",le=\"0.025\"} 3\n"));
    EXPECT_THAT(text, HasSubstr("pellix_seconds_bucket{route=\"r\",le=\"30\"} 3\n"
                                "pellix_seconds_bucket{route=\"r\",le=\"+Inf\"} 4\n"
                                "pellix_seconds_sum{route=\"r\"} 60.0405\n"
                                "pellix_seconds_count{route=\"r\"} 4\n"));
}

TEST(MetricsExposition, ConcurrentCountingLosesNothingAndExtraLabelsShareOther) {
    Family<Counter> counts({"label"});
    constexpr int kThreads = 4;
    constexpr int kLabels = Family<Counter>::kCapacity + 6;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kLabels; ++i) counts.at({std::to_string(i)}).add();
        });
    }
    for (auto& thread : threads) thread.join();
    std::uint64_t total = 0;
    std::uint64_t other = 0;
    std::size_t cells = 0;
    counts.forEach([&](const std::vector<std::string>& values, const Counter& counter) {
        total += counter.value();
        ++cells;
        if (values.front() == "other") other = counter.value();
    });
    EXPECT_EQ(total, std::uint64_t{kThreads} * kLabels);
    EXPECT_EQ(cells, Family<Counter>::kCapacity + 1);
    EXPECT_EQ(other, std::uint64_t{kThreads} * (kLabels - Family<Counter>::kCapacity));
}
