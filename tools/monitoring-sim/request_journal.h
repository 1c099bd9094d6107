// The record of every request in arrival order, with the answer it got once it has one, and a
// way to wait for requests to arrive. Owned by the simulator; every member may be called from
// any thread. The oldest entries are forgotten beyond a fixed limit so a long run stays small.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

class RequestJournal {
  public:
    using Record = MonitoringSimulator::RecordedRequest;

    explicit RequestJournal(std::size_t limit);

    // Stores the request as pending and returns its sequence number.
    std::uint64_t open(Record record);
    // Stores the answer of a pending request (status 0: dropped) and wakes waiters.
    void close(std::uint64_t sequence, int status, const std::string& answerBody);

    std::vector<Record> all() const;
    std::vector<Record> matching(const std::string& method, const std::string& route) const;
    std::size_t count(const std::string& method, const std::string& route) const;
    bool waitForAnswered(const std::string& method, const std::string& route, std::size_t count,
                         std::chrono::milliseconds timeout) const;
    void clear();

  private:
    static bool matches(const Record& record, const std::string& method, const std::string& route);
    std::size_t answeredCount(const std::string& method, const std::string& route) const;

    const std::size_t limit_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Record> records_;
    std::uint64_t nextSequence_ = 1;
};

}  // namespace korvane::MonitoringSim
