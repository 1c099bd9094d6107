#include "agent_metrics.h"

#include "metrics_exposition.h"

namespace korvane::Utils::Metrics {

AgentMetrics& agentMetrics() {
    static AgentMetrics metrics;
    return metrics;
}

void AgentMetrics::writeTo(Exposition& out) const {
    out.counters("pellix_local_api_requests_total",
                 "Local API requests answered, by route and HTTP status.", localApiRequests);
    out.histograms("pellix_local_api_request_duration_seconds",
                   "Time from a local API request's head to its answer being written, by route.",
                   localApiSeconds);
    out.counters("pellix_camera_requests_total",
                 "Requests to the camera module, by operation and outcome.", cameraRequests);
    out.histograms("pellix_camera_request_duration_seconds",
                   "Duration of requests to the camera module, by operation.", cameraSeconds);
    out.counters("pellix_monitoring_deliveries_total",
                 "Reports posted to the monitoring service, by kind and outcome.",
                 monitoringDeliveries);
    out.counters("pellix_object_store_uploads_total", "Uploads to the object store, by outcome.",
                 objectStoreUploads);
    out.counters("pellix_token_requests_total",
                 "Token requests to the monitoring service, by grant and outcome.", tokenRequests);
    out.counter("pellix_log_lines_lost_total", "Log lines the log file could not take.",
                logLinesLost);
    out.counter("pellix_image_trims_total",
                "Clean-ups that removed images to keep the images folder within its budget.",
                imageTrims);
}

}  // namespace korvane::Utils::Metrics
