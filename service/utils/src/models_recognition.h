#pragma once
// Records of one recognition: the camera's ranked candidates for what lies on the scale, and
// the operator's confirmed choice with the context the Agent keeps about it. Plain values;
// copied freely between threads.

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::Utils::Models {

struct GetResultItemRes {
    std::string id;  // product identifier
    double score = 0.0;
};

struct GetResultRes {
    std::vector<GetResultItemRes> items;  // in the camera's rank order
    std::string sid;                      // recognition session, echoed by the feedback
};

struct SingleRecognition {
    std::string product_code;
    std::string product_name;
    std::string product_category;
    double product_rate = 0.0;
};

// The operator's feedback. Only sid and id go to the camera; the rest is the Agent's own
// record of the choice.
struct RecognitionInfo {
    std::string sid;
    std::string id;
    std::string product_name;
    std::int64_t response_time_ms = 0;
    std::string method_of_selection = "unknown";
    std::string position_relevance;
    std::string product_category;
    double product_weight = 0.0;
    std::vector<SingleRecognition> top_recognition;
};

}  // namespace korvane::Utils::Models
