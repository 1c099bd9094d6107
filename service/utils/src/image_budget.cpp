#include "image_budget.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

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
    for (const auto& image : images) {
        if (trim.remainingBytes <= budgetBytes) break;
        if (image.path.filename() == keep) continue;
        std::error_code ec;
        if (!fs::remove(image.path, ec) || ec) continue;
        ++trim.removed;
        trim.removedBytes += image.bytes;
        trim.remainingBytes -= image.bytes;
    }
    return trim;
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

void ImageBudget::imageSaved(const std::string& folder, const std::string& name,
                             std::uintmax_t bytes, std::uintmax_t budgetBytes) {
    try {
        std::lock_guard lock(mutex_);
        const auto known = estimates_.find(folder);
        if (known != estimates_.end()) {
            known->second += bytes;
            if (known->second <= budgetBytes) return;
        }
        // First image of this folder in this process, or the estimate passed the budget.
        const ImageTrim trim = trimImages(folder, budgetBytes, name);
        estimates_[folder] = trim.remainingBytes;
        if (trim.removed != 0) {
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
