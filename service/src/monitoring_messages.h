#pragma once
// The bodies the monitoring loop sends for queued recognitions and alerts, and the conversion
// of the local store's dates into the service's ISO 8601 form. Stateless.

#include <boost/json/object.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "queue_queries.h"

namespace korvane::Engine::Sync {

// A stored "YYYY-MM-DD HH:MM:SS" (UTC) as a time point; empty for any other text.
std::optional<std::chrono::system_clock::time_point> storedDateToTimePoint(const std::string& text);

// "2025-01-02 10:11:12" becomes "2025-01-02T10:11:12Z" wherever it occurs; other text stays.
std::string toIsoUtc(const std::string& storedDate);

boost::json::object recognitionMessage(
    const Utils::Queries::RecognitionQueueEntry& entry,
    const std::vector<Utils::Queries::RecognitionValueEntry>& values, const std::string& imageUrl);

boost::json::object alertMessage(const Utils::Queries::AlertQueueEntry& entry);

// The local image of a recognition: folder and "<sid>.jpg" joined by exactly one slash.
std::string recognitionImagePath(const std::string& folder, const std::string& sid);

// The object key of a recognition image for this device.
std::string recognitionImageKey(const std::string& deviceId, const std::string& sid);

}  // namespace korvane::Engine::Sync
