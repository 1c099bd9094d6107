// Scripted answers per method and route (a queue consumed in order, then a sticky answer), the
// "down" switch, and the interruptible pause of delayed answers. Owned by the simulator; every
// member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

class AnswerScript {
  public:
    using Answer = MonitoringSimulator::Answer;

    void append(const std::string& method, const std::string& route, Answer answer);
    void setSticky(const std::string& method, const std::string& route, Answer answer);
    void clear(const std::string& method, const std::string& route);
    void clearAll();
    // The answer due for this request, consumed from its queue, if any was scripted.
    std::optional<Answer> take(const std::string& method, const std::string& route);

    void setDown(bool down);
    bool isDown() const;

    // Waits for the delay; returns early once shutdown() was called.
    void pause(std::chrono::milliseconds delay);
    // Ends every pause at once and every later one immediately (until resume()).
    void shutdown();
    void resume();

  private:
    struct Entry {
        std::deque<Answer> queue;
        std::optional<Answer> sticky;
    };

    std::optional<Answer> takeFrom(const std::string& method, const std::string& route);

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Entry> entries_;
    bool down_ = false;
    bool stopping_ = false;
    std::condition_variable wake_;
};

}  // namespace korvane::MonitoringSim
