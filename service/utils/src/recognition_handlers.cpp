#include "recognition_handlers.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "camera_handler_answers.h"
#include "filesystem.h"
#include "image_budget.h"
#include "invalid_request.h"
#include "logger.h"
#include "pellix_driver.h"
#include "queue_queries.h"
#include "request_body.h"
#include "responses.h"
#include "sqlite_db.h"
#include "sqlite_transaction.h"
#include "statistic_queries.h"

namespace korvane::Utils {

namespace {

std::string textOr(const RequestBody& body, const std::string& key, std::string fallback = {}) {
    return body.optional<std::string>(key).value_or(std::move(fallback));
}

std::vector<Models::SingleRecognition> parseTopRecognition(const Poco::JSON::Object::Ptr& body) {
    std::vector<Models::SingleRecognition> list;
    if (!body->has("top_recognition")) {
        return list;
    }
    const auto array = body->getArray("top_recognition");
    if (!array) {
        throw InvalidRequest("member 'top_recognition' is not an array");
    }
    for (std::size_t i = 0; i < array->size(); ++i) {
        const std::string name = "top_recognition[" + std::to_string(i) + "]";
        const auto element = array->getObject(static_cast<unsigned>(i));
        if (!element) {
            throw InvalidRequest("member '" + name + "' is not an object");
        }
        const RequestBody fields(element, name + ".");
        Models::SingleRecognition entry;
        entry.product_code = textOr(fields, "product_code");
        entry.product_name = textOr(fields, "product_name");
        entry.product_category = textOr(fields, "product_category");
        entry.product_rate = fields.optional<double>("product_rate").value_or(0.0);
        list.push_back(std::move(entry));
    }
    return list;
}

// The feedback needs nothing from the prediction only when the client sent all three.
bool completeAsSent(const Models::RecognitionInfo& info) {
    return !info.top_recognition.empty() && info.response_time_ms != 0 &&
           !info.position_relevance.empty();
}

// Fills what the client left out from what the camera had proposed for the session.
void completeFromPrediction(Models::RecognitionInfo& info, const Queries::Prediction& prediction) {
    if (info.response_time_ms == 0) {
        info.response_time_ms = prediction.response_time_ms;
    }
    if (info.top_recognition.empty()) {
        // A position the client chose itself is kept; otherwise the product's rank decides.
        const bool rankDecides = info.position_relevance.empty();
        if (rankDecides && !prediction.products.empty()) {
            info.position_relevance = "top_not_in_top5";
        }
        bool ranked = false;
        for (std::size_t i = 0; i < prediction.products.size(); ++i) {
            const auto& [code, rate] = prediction.products[i];
            info.top_recognition.push_back({code, "", "", rate});
            if (rankDecides && !ranked && code == info.id) {
                info.position_relevance = "top" + std::to_string(i + 1);
                ranked = true;
            }
        }
    }
    if (info.position_relevance.empty()) {
        info.position_relevance = "top_unknown";
    }
}

std::string processingKind(const std::string& methodOfSelection) {
    if (methodOfSelection == "recognition") return "with_prediction";
    if (methodOfSelection == "without_recognition") return "without_prediction";
    return "unknown";
}

int clampToInt(std::int64_t value) {
    if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

// Queue entry with its ranked candidates, prediction dropped, statistics counted. The caller
// holds the database mutex and the transaction.
void recordFeedback(Poco::Data::Session& session, Models::RecognitionInfo& info) {
    if (!completeAsSent(info)) {
        completeFromPrediction(info, Queries::getPrediction(session, info.sid));
    }
    const int rid = Queries::addRecognitionQueue(
        session, info.sid, info.method_of_selection, info.position_relevance, info.id,
        info.product_category, info.product_name, info.product_weight,
        clampToInt(info.response_time_ms));
    int top = 0;
    for (const auto& value : info.top_recognition) {
        Queries::addRecognitionValue(session, value.product_code, value.product_category,
                                     value.product_name, value.product_rate, rid, ++top);
    }
    Queries::deletePrediction(session, info.sid);
    Queries::recordStatistic(session, info.id, info.position_relevance,
                             processingKind(info.method_of_selection));
}

// Where the feedback's picture goes and how much the images folder may hold, read together
// under the database mutex that guards the configuration map.
struct ImageTarget {
    std::optional<std::string> folder;
    std::optional<std::uintmax_t> budgetBytes;
};

// Saves the camera's current picture as <folder>/<sid>.jpg. Throws std::runtime_error saying
// what failed.
void saveCameraImage(Engine::Driver::PellixDriver& driver, const ImageTarget& target,
                     const std::string& sid) {
    const auto& folder = target.folder;
    auto [code, image] = driver.get_image(false);
    if (code != 0) {
        throw std::runtime_error("camera image unavailable: code = " + std::to_string(code));
    }
    if (image.empty()) {
        throw std::runtime_error("camera image unavailable: empty picture");
    }
    if (!folder || folder->empty()) {
        Log()->warn("Image path config missing or not a string");
        throw std::runtime_error("Invalid image path config");
    }
    Log()->info("Opened save dir: {};", *folder);
    const std::string name = sid + ".jpg";
    const std::string path = (std::filesystem::path(*folder) / name).string();
    Log()->info("Saving file... ({})", path);
    const std::vector<std::uint8_t> bytes(image.begin(), image.end());
    if (!Filesystem::SaveEncodedImage(name, bytes, *folder)) {
        throw std::runtime_error("Failed to open file for writing: " + path);
    }
    Log()->info("Saved image for sid {} to {}", sid, path);
    if (target.budgetBytes) {
        ImageBudget::instance().imageSaved(*folder, name, bytes.size(), *target.budgetBytes);
    }
}

}  // namespace

Models::RecognitionInfo parseRecognitionInfo(const Poco::JSON::Object::Ptr& body) {
    const RequestBody fields(body);
    Models::RecognitionInfo info;
    info.sid = fields.required<std::string>("sid");
    info.id = fields.required<std::string>("id");
    info.product_name = textOr(fields, "product_name");
    info.response_time_ms = fields.optional<std::int64_t>("response_time_ms").value_or(0);
    info.method_of_selection = textOr(fields, "method_of_selection", "unknown");
    info.position_relevance = textOr(fields, "position_relevance");
    info.product_category = textOr(fields, "product_category");
    info.product_weight = fields.optional<double>("product_weight").value_or(0.0);
    info.top_recognition = parseTopRecognition(body);
    return info;
}

Poco::JSON::Object::Ptr process_get_result(
    const std::shared_ptr<Engine::Driver::PellixDriver>& driver, bool post, std::mutex& dbMutex,
    Engine::DB::SQLiteDB& db) {
    const auto asked = std::chrono::steady_clock::now();
    const auto [code, result] = driver->get_result(post);
    if (code != 0) {
        return get_empty_response(code);
    }

    Poco::JSON::Array::Ptr items = new Poco::JSON::Array;
    std::vector<Queries::PredictedProduct> products;
    for (const auto& item : result.items) {
        items->add(jsonObject({{"id", item.id}, {"score", item.score}}));
        products.emplace_back(item.id, item.score);
    }
    const auto data = jsonObject({{"items", items}, {"sid", result.sid}});

    try {
        std::lock_guard<std::mutex> lock(dbMutex);
        auto& session = db.GetSession();
        Engine::DB::SQLiteTransaction transaction(session);
        Queries::deletePrediction(session);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
        // Replaces a prediction stored under the same sid, should the camera repeat one.
        Queries::addPrediction(session, result.sid, clampToInt(elapsed.count()), products);
        transaction.commit();
    } catch (const std::exception& e) {
        // The cashier still needs the candidates (a full disk, say); the feedback then finds
        // no prediction and is stored with what it carries.
        Log()->error("get_result() prediction for sid {} not stored: {};", result.sid, e.what());
    }
    return make_response(0, data);
}

Poco::JSON::Object::Ptr process_result_feedback(
    const Poco::JSON::Object::Ptr& body,
    const std::shared_ptr<Engine::Driver::PellixDriver>& driver, std::mutex& dbMutex,
    const ConfigMap& config, Engine::DB::SQLiteDB& db) {
    auto info = parseRecognitionInfo(body);
    // The camera learns from the feedback first; a refusal leaves the prediction for a retry.
    const int code = driver->result_feedback(info);
    if (code != 0) {
        return get_empty_response(code);
    }

    ImageTarget target;
    {
        std::lock_guard<std::mutex> lock(dbMutex);
        auto& session = db.GetSession();
        Engine::DB::SQLiteTransaction transaction(session);
        recordFeedback(session, info);
        transaction.commit();
        target = {imageFolder(config), imageBudgetBytes(config)};
    }

    // The picture is a by-product: the feedback is recorded whether or not it can be saved, and
    // neither the camera request nor the write holds up other store users.
    try {
        saveCameraImage(*driver, target, info.sid);
    } catch (const std::exception& e) {
        Log()->error("result_feedback() image for sid {} not saved: {};", info.sid, e.what());
    }
    return get_empty_response(0);
}

}  // namespace korvane::Utils
