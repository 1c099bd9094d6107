// The last requests the simulated camera received, as tests read them back through
// GET /sim/requests to check what the Agent sent. Owned by CameraSimulator; request threads
// append and the control API reads concurrently, guarded by its own mutex.
#pragma once

#include <Poco/JSON/Object.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "sim_message.h"

namespace korvane::CameraSim {

class RequestLog {
  public:
    explicit RequestLog(std::size_t capacity);

    // Remembers one request and the fault applied to it (empty when none), dropping the oldest
    // entry beyond the capacity.
    void record(const SimRequest& request, const std::string& fault);
    // JSON text {"requests": [...]} with at most `limit` of the newest entries, oldest first,
    // optionally only those of one command.
    std::string list(std::size_t limit, const std::string& command) const;
    void clear();

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<Poco::JSON::Object::Ptr> entries_;
    std::uint64_t sequence_ = 0;
};

}  // namespace korvane::CameraSim
