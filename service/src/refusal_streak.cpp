#include "refusal_streak.h"

namespace korvane::Engine::Sync {

bool RefusalStreak::refusesForGood(int status) {
    switch (status) {
        case 400:
        case 404:
        case 409:
        case 410:
        case 413:
        case 415:
        case 422:
            return true;
        default:
            return false;
    }
}

bool RefusalStreak::setAsideAfter(int id, int status) {
    if (!refusesForGood(status)) return false;
    if (id != id_) {
        id_ = id;
        count_ = 0;
    }
    if (++count_ < kPassesToSetAside) return false;
    count_ = 0;
    return true;
}

}  // namespace korvane::Engine::Sync
