#include "image_budget.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "agent_metrics.h"
#include "logger.h"

namespace korvane::Utils {

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kDefaultBudgetMb = 2048;
constexpr std::uintmax_t kBytesPerMb = 1024 * 1024;

struct Image {
    fs::path path;
    fs::file_time_type modified;
    std::uintmax_t bytes = 0;
};

// The folder's images; an unreadable folder or entry contributes nothing.
std::vector<Image> listImages(const std::string& folder) {
    std::vector<Image> images;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code entryEc;
        if (entry.path().extension() != ".jpg" || !entry.is_regular_file(entryEc)) continue;
        Image image{entry.path(), entry.last_write_time(entryEc), entry.file_size(entryEc)};
        if (!entryEc) images.push_back(std::move(image));
    }
    return images;
}

// What a trim leaves of the budget: the listing and sort of the whole folder are then paid
// once per tenth of the budget's worth of new images, not at nearly every saved one.
std::uintmax_t lowMark(std::uintmax_t budgetBytes) {
    return budgetBytes - budgetBytes / 10;
}

}  // namespace

ImageTrim trimImages(const std::string& folder, std::uintmax_t budgetBytes,
                     const std::string& keep) {
    std::vector<Image> images = listImages(folder);
    ImageTrim trim;
    for (const auto& image : images) trim.remainingBytes += image.bytes;
    if (trim.remainingBytes <= budgetBytes) return trim;

    // Names break ties of equal times so that the order does not depend on the listing.
    std::sort(images.begin(), images.end(), [](const Image& a, const Image& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
    });
    const std::uintmax_t target = lowMark(budgetBytes);
    for (const auto& image : images) {
        if (trim.remainingBytes <= target) break;
        if (image.path.filename() == keep) continue;
        std::error_code ec;
        if (!fs::remove(image.path, ec) || ec) continue;
        ++trim.removed;
        trim.removedBytes += image.bytes;
        trim.remainingBytes -= image.bytes;
    }
    return trim;
}

std::optional<std::string> imageFolder(const ConfigMap& config) {
    const auto found = config.find("product_prediction_data_folder_path");
    if (found == config.end() || !found->second.isString()) return std::nullopt;
    return found->second.convert<std::string>();
}

std::uintmax_t imageFolderBytes(const std::string& folder) {
    std::uintmax_t bytes = 0;
    for (const auto& image : listImages(folder)) bytes += image.bytes;
    return bytes;
}

std::optional<std::uintmax_t> imageBudgetBytes(const ConfigMap& config) {
    std::int64_t megabytes = kDefaultBudgetMb;
    if (const auto found = config.find("images_max_mb");
        found != config.end() && found->second.isInteger()) {
        try {
            const auto value = found->second.convert<std::int64_t>();
            if (value >= 0) megabytes = value;
        } catch (const std::exception&) {
            // Beyond 64 bits: no budget a disk could hold, the default stands.
        }
    }
    if (megabytes == 0) return std::nullopt;
    const auto limit = static_cast<std::uintmax_t>(megabytes);
    if (limit > std::numeric_limits<std::uintmax_t>::max() / kBytesPerMb) {
        return std::numeric_limits<std::uintmax_t>::max();
    }
    return limit * kBytesPerMb;
}

ImageBudget& ImageBudget::instance() {
    static ImageBudget budget;
    return budget;
}

std::optional<std::uintmax_t> ImageBudget::claimTrim(const std::string& folder,
                                                     std::uintmax_t bytes,
                                                     std::uintmax_t budgetBytes) {
    std::lock_guard lock(mutex_);
    Folder& state = folders_[folder];
    state.estimate += bytes;
    // While one thread trims, the others' saves only add to the estimate: the folder may pass
    // its budget by what they save during one listing of it (a few images at a cashier's pace),
    // and a save after the trim trims again when that left it above the budget.
    if (state.trimming || (state.counted && state.estimate <= budgetBytes)) {
        return std::nullopt;
    }
    state.trimming = true;
    return state.estimate;
}

void ImageBudget::finishTrim(const std::string& folder, std::uintmax_t claimed,
                             std::optional<std::uintmax_t> remaining) {
    std::lock_guard lock(mutex_);
    Folder& state = folders_[folder];
    state.trimming = false;
    if (!remaining) return;
    // Images saved during the trim may be in its count as well: counting them twice only
    // brings the next trim nearer.
    state.estimate = *remaining + (state.estimate - claimed);
    state.counted = true;
}

void ImageBudget::imageSaved(const std::string& folder, const std::string& name,
                             std::uintmax_t bytes, std::uintmax_t budgetBytes) {
    try {
        const auto claimed = claimTrim(folder, bytes, budgetBytes);
        if (!claimed) return;
        // First image of this folder in this process, or the estimate passed the budget. The
        // listing runs without mutex_ so that other request threads' saves never wait for it.
        ImageTrim trim;
        try {
            trim = trimImages(folder, budgetBytes, name);
        } catch (const std::exception&) {
            finishTrim(folder, *claimed, std::nullopt);
            throw;
        }
        finishTrim(folder, *claimed, trim.remainingBytes);
        if (trim.removed != 0) {
            Metrics::agentMetrics().imageTrims.add();
            Log()->warn(
                "Images folder {} exceeded its budget of {} MB: removed the {} oldest images "
                "({} bytes), {} bytes left;",
                folder, budgetBytes / kBytesPerMb, trim.removed, trim.removedBytes,
                trim.remainingBytes);
        }
    } catch (const std::exception& e) {
        Log()->error("Images folder {} budget check failed: {};", folder, e.what());
    }
}

}  // namespace korvane::Utils
