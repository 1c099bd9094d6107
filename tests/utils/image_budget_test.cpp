#include "image_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <vector>

#include "temp_dir.h"

namespace fs = std::filesystem;
using korvane::Testing::writeFile;
using korvane::Utils::ImageBudget;

TEST(ImageBudget, TrimsTheOldestDownToTheLowMarkSparingTheSavedImage) {
    struct Case {
        std::vector<std::size_t> sizes;  // oldest first; the last `saved` are saved one by one
        std::size_t saved;
        std::uintmax_t budget;
        std::set<std::size_t> removed;
    };
    const Case cases[] = {
        {{100, 100, 100}, 1, 400, {}},
        // 1050 passes the budget: 900 is left, not 1000, so the next save stays within it.
        {{100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 50, 50}, 2, 1000, {0, 1}},
        {{100, 100, 500}, 1, 450, {0, 1}},  // the saved picture stays, above the low mark
    };
    for (const auto& c : cases) {
        const korvane::Testing::TempDir dir;
        const auto oldest = fs::file_time_type::clock::now() - std::chrono::hours(1);
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string name = std::to_string(i) + ".jpg";
            writeFile(dir.file(name), std::string(c.sizes[i], 'j'));
            fs::last_write_time(dir.path() / name, oldest + std::chrono::seconds(i));
            if (i + c.saved < c.sizes.size()) continue;
            ImageBudget::instance().imageSaved(dir.path().string(), name, c.sizes[i], c.budget);
        }
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            EXPECT_EQ(fs::exists(dir.file(std::to_string(i) + ".jpg")), !c.removed.count(i)) << i;
        }
    }
}
