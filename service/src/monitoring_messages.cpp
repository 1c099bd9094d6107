#include "monitoring_messages.h"

#include <ctime>
#include <iomanip>
#include <regex>
#include <sstream>

namespace korvane::Engine::Sync {

std::optional<std::chrono::system_clock::time_point> storedDateToTimePoint(
    const std::string& text) {
    std::tm parts{};
    std::istringstream in(text);
    in >> std::get_time(&parts, "%Y-%m-%d %H:%M:%S");
    if (in.fail()) return std::nullopt;
    return std::chrono::system_clock::from_time_t(timegm(&parts));
}

std::string toIsoUtc(const std::string& storedDate) {
    static const std::regex kStoredDate(R"((\d{4}-\d{2}-\d{2})\s+(\d{2}:\d{2}:\d{2}))");
    return std::regex_replace(storedDate, kStoredDate, "$1T$2Z");
}

boost::json::object recognitionMessage(
    const Utils::Queries::RecognitionQueueEntry& entry,
    const std::vector<Utils::Queries::RecognitionValueEntry>& values, const std::string& imageUrl) {
    boost::json::array top;
    for (const auto& value : values) {
        top.push_back(boost::json::object{{"product_code", value.product_code},
                                          {"product_name", value.product_name},
                                          {"product_category", value.product_category},
                                          {"product_rate", value.product_rate}});
    }
    // The service reads the members in this order.
    boost::json::object message;
    message["recognition_session"] = entry.sid;
    message["response_time_ms"] = entry.response_time_ms;
    message["method_of_selection"] = entry.method_of_selection;
    message["position_relevance"] = entry.position_relevance;
    message["product_code"] = entry.product_code;
    message["product_category"] = entry.product_category;
    message["product_name"] = entry.product_name;
    message["product_weight"] = entry.product_weight;
    message["top_recognition"] = std::move(top);
    message["recognition_image_url"] = imageUrl;
    message["created_at"] = toIsoUtc(entry.created_at);
    return message;
}

boost::json::object alertMessage(const Utils::Queries::AlertQueueEntry& entry) {
    boost::json::object message;
    message["error_code"] = entry.code;
    message["description"] = entry.description;
    message["created_at"] = toIsoUtc(entry.created_at);
    return message;
}

std::string recognitionImagePath(const std::string& folder, const std::string& sid) {
    const std::string name = sid + ".jpg";
    if (folder.empty()) return name;
    if (folder.back() == '/' || name.front() == '/') return folder + name;
    return folder + "/" + name;
}

std::string recognitionImageKey(const std::string& deviceId, const std::string& sid) {
    return "KorvaneMonitoring/RecognitionModules/korvane_pellix_module/" + deviceId +
           "/Images/recognition_" + deviceId + "_" + sid + ".jpg";
}

}  // namespace korvane::Engine::Sync
