#pragma once
// Tells when the monitoring service has refused the same queue entry for good often enough to
// set it aside: an answer no retry can mend (400, 404, 409, 410, 413, 415, 422) on that entry
// on five passes in a row. Answers that say nothing about the entry itself (401, 403, 408, 429,
// 5xx, no answer) neither count nor break the row. One per queue; the loop's thread only.

namespace korvane::Engine::Sync {

class RefusalStreak {
  public:
    static constexpr int kPassesToSetAside = 5;

    // Whether an answer with this status refuses the entry for good.
    static bool refusesForGood(int status);

    // Records the status the service answered for entry id; true when the entry is to be set
    // aside now (the streak then starts over).
    bool setAsideAfter(int id, int status);

  private:
    int id_ = 0;
    int count_ = 0;
};

}  // namespace korvane::Engine::Sync
