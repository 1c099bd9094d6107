#pragma once
// Keeps the recognition images folder within a size budget. Images leave the folder only after
// an upload, so with monitoring or image sending off it would grow by every weighing; past the
// budget the oldest images go first. The process-wide instance remembers an estimate of each
// folder's size so that a saved image costs no folder listing until the estimate passes the
// budget. Safe to call from any thread; clean-ups of one process run one at a time.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "config_map.h"

namespace korvane::Utils {

// What one clean-up did.
struct ImageTrim {
    std::size_t removed = 0;
    std::uintmax_t removedBytes = 0;
    std::uintmax_t remainingBytes = 0;
};

// Deletes the least recently modified "*.jpg" files of folder (never `keep`, a file name) until
// the images left take at most budgetBytes. Files that cannot be read or deleted are skipped.
ImageTrim trimImages(const std::string& folder, std::uintmax_t budgetBytes,
                     const std::string& keep = {});

// images_max_mb as a byte count: 2048 MB when the key is absent or not a non-negative integer,
// nullopt for 0 (no limit).
std::optional<std::uintmax_t> imageBudgetBytes(const ConfigMap& config);

class ImageBudget {
  public:
    static ImageBudget& instance();

    // Accounts for an image of `bytes` just saved as `name` in folder; when the folder may now
    // exceed budgetBytes, trims it (sparing that image) and logs one warning when anything was
    // removed. Never throws.
    void imageSaved(const std::string& folder, const std::string& name, std::uintmax_t bytes,
                    std::uintmax_t budgetBytes);

  private:
    ImageBudget() = default;

    std::mutex mutex_;
    // Upper estimate of each folder's image bytes: images removed by others (uploads) are
    // found at the next trim, which replaces the estimate by what it counted.
    std::unordered_map<std::string, std::uintmax_t> estimates_;  // guarded by mutex_
};

}  // namespace korvane::Utils
