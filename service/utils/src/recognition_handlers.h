#pragma once
// The local API's recognition commands, the Agent's own bookkeeping of what the camera proposed
// and what the operator chose. Stateless; called from any number of HTTP worker threads and the
// task handler at once. Store work runs under the database mutex passed in, never a camera
// request; bad client input throws InvalidRequest naming the member, camera failures become the
// envelope's code, and database failures propagate.

#include <Poco/JSON/Object.h>

#include <memory>
#include <mutex>

#include "config_map.h"
#include "models_recognition.h"

namespace korvane::Engine::Driver {
class PellixDriver;
}
namespace korvane::Engine::DB {
class SQLiteDB;
}

namespace korvane::Utils {

// The operator's feedback with every optional member at its default when absent. Text members
// take the text of any scalar; numbers convert between integer and fraction. Throws
// InvalidRequest for a missing "sid" or "id", a member that does not convert, or a
// "top_recognition" that is not an array of objects.
Models::RecognitionInfo parseRecognitionInfo(const Poco::JSON::Object::Ptr& body);

// Asks the camera (POST when `post`, else GET) for its candidates and answers
// {"code":0,"data":{"items":[{"id","score"}...],"sid":...}}, after storing them as the prediction
// of that sid (replacing one already stored for it). A prediction the store cannot take (a full
// disk) is logged as an error and the candidates are answered all the same. A camera failure
// answers {"code":<code>,"data":null} and stores nothing.
Poco::JSON::Object::Ptr process_get_result(
    const std::shared_ptr<Engine::Driver::PellixDriver>& driver, bool post, std::mutex& dbMutex,
    Engine::DB::SQLiteDB& db);

// Forwards the operator's choice to the camera; once the camera accepted it, records it in one
// transaction (completed from the stored prediction: queue entry with its ranked candidates,
// prediction dropped, statistics counted) and then saves the camera's picture as
// "<product_prediction_data_folder_path>/<sid>.jpg". Answers {"code":0,"data":null} once
// recorded, even when the picture could not be saved (that is logged); a camera refusal answers
// {"code":<code>,"data":null} and records nothing. A saved picture may push out the oldest
// ones when the folder passes images_max_mb (ImageBudget).
Poco::JSON::Object::Ptr process_result_feedback(
    const Poco::JSON::Object::Ptr& body,
    const std::shared_ptr<Engine::Driver::PellixDriver>& driver, std::mutex& dbMutex,
    const ConfigMap& config, Engine::DB::SQLiteDB& db);

}  // namespace korvane::Utils
