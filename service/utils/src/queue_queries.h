#pragma once
// Queries on the short-lived stores between the local API and the monitoring loop: the
// predictions remembered from get_result until the operator's feedback, the recognition queue
// with its ranked candidate rows, and the alert queue. Entries are added by their producers and
// sent and removed, oldest first, by the monitoring loop. Every function expects the caller to
// hold the database mutex; statement errors propagate as Poco::Data exceptions.

#include <Poco/Data/Session.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::Utils::Queries {

// One queued recognition (a confirmed weighing) as read back.
struct RecognitionQueueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    std::string sid;
    std::string method_of_selection;
    std::string position_relevance;
    int product_code = 0;  // leading decimal digits of the stored text, 0 when there are none
    std::string product_category;
    std::string product_name;
    double product_weight = 0.0;
    int response_time_ms = 0;
    std::string image_url;  // empty until the image has been uploaded
};

// One ranked candidate of a queued recognition.
struct RecognitionValueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    int product_code = 0;  // read like RecognitionQueueEntry::product_code
    std::string product_category;
    std::string product_name;
    double product_rate = 0.0;
    int rid = 0;  // id of the owning recognition queue entry
    int top = 0;  // rank, unique per rid
};

struct AlertQueueEntry {
    int id = 0;
    std::string created_at;
    std::string updated_at;
    int code = 0;
    std::string description;
};

// A proposed product: identifier and rate.
using PredictedProduct = std::pair<std::string, double>;

// What the camera proposed for one recognition session.
struct Prediction {
    int response_time_ms = 0;
    std::vector<PredictedProduct> products;  // rank order, at most five
};

// Reads the leading decimal digits of a stored product code; 0 when there are none, INT_MAX
// when they do not fit.
int productCodeToInt(const std::string& text);

// Recognition queue.
// Queues a confirmed weighing (image_url stays empty); returns its id.
int addRecognitionQueue(Poco::Data::Session& session, const std::string& sid,
                        const std::string& method_of_selection,
                        const std::string& position_relevance, const std::string& product_code,
                        const std::string& product_category, const std::string& product_name,
                        double product_weight, int response_time_ms);
// Adds a ranked candidate to the entry rid. A second row with the same (rid, top) throws.
void addRecognitionValue(Poco::Data::Session& session, const std::string& product_code,
                         const std::string& product_category, const std::string& product_name,
                         double product_rate, int rid, int top);
// The oldest entry; empty when the queue is empty.
std::optional<RecognitionQueueEntry> getNextRecognitionQueue(Poco::Data::Session& session);
// The candidates of entry rid by rank; empty when there are none.
std::vector<RecognitionValueEntry> getRecognitionValues(Poco::Data::Session& session, int rid);
void updateImageUrl(Poco::Data::Session& session, const std::string& url, int id);
// Removes the entry together with its candidate rows, inside or outside a transaction.
// Also switches foreign-key enforcement on for the connection (it stays on).
void deleteFromRecognitionQueue(Poco::Data::Session& session, int id);

// Predictions.
// Stores what the camera proposed for sid, replacing whatever was stored for that sid, so a
// camera that repeats a sid never leaves two predictions behind. Products after the fifth are
// dropped. Run it inside the caller's transaction so that the replacement is atomic.
void addPrediction(Poco::Data::Session& session, const std::string& sid, int response_time_ms,
                   const std::vector<PredictedProduct>& products);
// The prediction for sid (the newest one, should a database hold several); response time 0
// and no products when none is stored.
Prediction getPrediction(Poco::Data::Session& session, const std::string& sid);
void deletePrediction(Poco::Data::Session& session, const std::string& sid);
// Drops every prediction older than ten minutes.
void deletePrediction(Poco::Data::Session& session);

// Alert queue.
// Queues a device alert stamped with the current time; returns its id.
int addAlertQueue(Poco::Data::Session& session, int code, const std::string& description);
// The oldest alert; empty when the queue is empty.
std::optional<AlertQueueEntry> getNextAlertQueue(Poco::Data::Session& session);
void deleteFromAlertQueue(Poco::Data::Session& session, int id);

// Counts of waiting entries: exactly "alert_count" and "recognition_count".
std::map<std::string, int> getCountDataSend(Poco::Data::Session& session);

// How much waits in one queue, and for how long its oldest entry has waited.
struct QueueStats {
    std::string queue;  // "recognition", "alert" or "dead_letter" (both kinds set aside)
    int depth = 0;
    double oldestAgeSeconds = 0;  // 0 for an empty queue
};
std::vector<QueueStats> getQueueStats(Poco::Data::Session& session);

}  // namespace korvane::Utils::Queries
