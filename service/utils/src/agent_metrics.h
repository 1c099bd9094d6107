#pragma once
// The Agent's own counters, one process-wide set that outlives the components counting into it
// (the camera driver and the monitoring client are rebuilt by every configuration change). The
// counting sites add to them from any thread; a scrape reads them. Label values come from the
// code (routes, operations, outcomes), never from what a client sent, so every family stays
// small.

#include <string>

#include "metric_family.h"

namespace korvane::Utils::Metrics {

class Exposition;

// How an exchange with a peer of the Agent ended.
inline constexpr const char* kOk = "ok";
inline constexpr const char* kRefused = "refused";          // the peer answered, but not 2xx
inline constexpr const char* kUnreachable = "unreachable";  // no answer at all

struct AgentMetrics {
    Family<Counter> localApiRequests{{"route", "code"}};
    Family<Histogram> localApiSeconds{{"route"}};
    // outcome: ok, camera_error (the module answered a failure code), http_error, unreachable.
    Family<Counter> cameraRequests{{"operation", "outcome"}};
    Family<Histogram> cameraSeconds{{"operation"}};
    Family<Counter> monitoringDeliveries{{"kind", "outcome"}};
    Family<Counter> objectStoreUploads{{"outcome"}};
    Family<Counter> tokenRequests{{"grant", "outcome"}};
    Counter logLinesLost;
    Counter imageTrims;

    // Appends every family above to the exposition.
    void writeTo(Exposition& exposition) const;
};

AgentMetrics& agentMetrics();

}  // namespace korvane::Utils::Metrics
