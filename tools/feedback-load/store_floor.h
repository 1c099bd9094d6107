#pragma once
// The store work of recognition + feedback pairs done straight on a copy of the Agent's database
// with SQLite, without HTTP, camera or data-access layer: the floor the Agent's figures are
// judged against. Per pair the same statements run in the same two transactions as in the
// Agent (the prediction when the result arrives; queue entry, ranked candidates, prediction
// dropped and statistics when the feedback arrives). One thread owns an instance.

#include <string>
#include <vector>

#include "latency_record.h"

struct sqlite3;

namespace korvane::FeedbackLoad {

class StoreFloor {
  public:
    struct Options {
        std::string database;
        int pairs = 1000;
        std::vector<std::string> candidates{"10001", "10002", "10003", "10004", "10005"};
        std::string journalMode;  // empty: as the file has it
        std::string synchronous;  // empty: the library's default
    };
    struct Result {
        int pairs = 0;
        double seconds = 0.0;
        std::string journalMode;   // as in effect during the run
        int synchronous = -1;      // 0 OFF, 1 NORMAL, 2 FULL, 3 EXTRA
        LatencyRecord prediction;  // the get_result transaction
        LatencyRecord feedback;    // the result_feedback transaction
        LatencyRecord pair;
    };

    // Opens the database; throws std::runtime_error when it cannot be opened or configured.
    explicit StoreFloor(Options options);
    ~StoreFloor();
    StoreFloor(const StoreFloor&) = delete;
    StoreFloor& operator=(const StoreFloor&) = delete;

    // Throws std::runtime_error naming the statement that failed.
    Result run();

  private:
    Options options_;
    sqlite3* db_ = nullptr;
};

}  // namespace korvane::FeedbackLoad
