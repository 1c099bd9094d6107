#pragma once
// Keeps the recognition images folder within a size budget. Images leave the folder only after
// an upload, so with monitoring or image sending off it would grow by every weighing; past the
// budget the oldest images go first, down to a low mark of 90% of the budget. The process-wide
// instance remembers an estimate of each folder's size so that a saved image costs no folder
// listing until the estimate passes the budget, which the low mark makes happen once per tenth
// of the budget's worth of new images. Safe to call from any thread; clean-ups of one folder
// run one at a time and never hold up the saves of other threads.

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

// When the "*.jpg" files of folder take more than budgetBytes, deletes the least recently
// modified ones (never `keep`, a file name) until those left take at most the low mark, 90% of
// budgetBytes. Files that cannot be read or deleted are skipped.
ImageTrim trimImages(const std::string& folder, std::uintmax_t budgetBytes,
                     const std::string& keep = {});

// The images folder setting (product_prediction_data_folder_path), nullopt when it is absent or
// not a string; read while the caller holds the database mutex that guards the map.
std::optional<std::string> imageFolder(const ConfigMap& config);

// What the "*.jpg" files of folder take; 0 for a folder that cannot be read.
std::uintmax_t imageFolderBytes(const std::string& folder);

// images_max_mb as a byte count: 2048 MB when the key is absent or not a non-negative integer,
// nullopt for 0 (no limit).
std::optional<std::uintmax_t> imageBudgetBytes(const ConfigMap& config);

class ImageBudget {
  public:
    static ImageBudget& instance();

    // Accounts for an image of `bytes` just saved as `name` in folder; when the folder may now
    // exceed budgetBytes and no other thread is trimming it, trims it (sparing that image) and
    // logs one warning when anything was removed. Never throws.
    void imageSaved(const std::string& folder, const std::string& name, std::uintmax_t bytes,
                    std::uintmax_t budgetBytes);

  private:
    // Upper estimate of a folder's image bytes: images removed by others (uploads) are found
    // at the next trim, which replaces the estimate by what it counted.
    struct Folder {
        std::uintmax_t estimate = 0;
        bool counted = false;   // a trim has listed the folder in this process
        bool trimming = false;  // a thread is listing or trimming it now, without mutex_
    };

    ImageBudget() = default;
    // Adds the saved bytes; the estimate at that moment when the caller is to trim the folder
    // (and now owns its trim), nullopt otherwise.
    std::optional<std::uintmax_t> claimTrim(const std::string& folder, std::uintmax_t bytes,
                                            std::uintmax_t budgetBytes);
    // Ends the caller's trim: the folder holds `remaining` bytes plus whatever was saved since
    // the claim's estimate `claimed`; nullopt when the trim failed and the estimate stands.
    void finishTrim(const std::string& folder, std::uintmax_t claimed,
                    std::optional<std::uintmax_t> remaining);

    std::mutex mutex_;
    std::unordered_map<std::string, Folder> folders_;  // guarded by mutex_
};

}  // namespace korvane::Utils
