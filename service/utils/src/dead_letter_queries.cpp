#include "dead_letter_queries.h"

#include "prepared_statement.h"
#include "sqlite_transaction.h"

namespace korvane::Utils::Queries {

using Engine::DB::PreparedStatement;
using Engine::DB::SQLiteTransaction;

namespace {

// The columns the queues and their dead letters share, in one order for both directions.
const std::string kRecognitionColumns =
    "id, created_at, updated_at, sid, method_of_selection, position_relevance, product_code, "
    "product_category, product_name, product_weight, response_time_ms, image_url";
const std::string kValueColumns =
    "id, created_at, updated_at, product_code, product_category, product_name, product_rate, "
    "rid, top";
const std::string kAlertColumns = "id, created_at, updated_at, code, description";

int changes(Poco::Data::Session& session) {
    PreparedStatement select(session, "SELECT changes()");
    select.step();
    return select.intColumn(0);
}

}  // namespace

void setRecognitionAside(Poco::Data::Session& session, int id, int status,
                         const std::string& answer) {
    SQLiteTransaction transaction(session);
    PreparedStatement(session, "INSERT INTO dead_letter_recognitions (" + kRecognitionColumns +
                                   ", set_aside_at, status, answer) SELECT " + kRecognitionColumns +
                                   ", CURRENT_TIMESTAMP, ?, ? FROM recognition_queue WHERE id = ?")
        .bindAll(status, answer, id)
        .run();
    PreparedStatement(session, "INSERT INTO dead_letter_recognition_values (" + kValueColumns +
                                   ") SELECT " + kValueColumns +
                                   " FROM recognition_values WHERE rid = ?")
        .bindAll(id)
        .run();
    PreparedStatement(session, "DELETE FROM recognition_values WHERE rid = ?").bindAll(id).run();
    PreparedStatement(session, "DELETE FROM recognition_queue WHERE id = ?").bindAll(id).run();
    transaction.commit();
}

void setAlertAside(Poco::Data::Session& session, int id, int status, const std::string& answer) {
    SQLiteTransaction transaction(session);
    PreparedStatement(session, "INSERT INTO dead_letter_alerts (" + kAlertColumns +
                                   ", set_aside_at, status, answer) SELECT " + kAlertColumns +
                                   ", CURRENT_TIMESTAMP, ?, ? FROM alert_queue WHERE id = ?")
        .bindAll(status, answer, id)
        .run();
    PreparedStatement(session, "DELETE FROM alert_queue WHERE id = ?").bindAll(id).run();
    transaction.commit();
}

int countDeadLetters(Poco::Data::Session& session) {
    PreparedStatement select(session,
                             "SELECT (SELECT COUNT(*) FROM dead_letter_recognitions) + "
                             "(SELECT COUNT(*) FROM dead_letter_alerts)");
    select.step();
    return select.intColumn(0);
}

int requeueDeadLetters(Poco::Data::Session& session) {
    SQLiteTransaction transaction(session);
    int requeued = 0;
    PreparedStatement(session, "INSERT INTO recognition_queue (" + kRecognitionColumns +
                                   ") SELECT " + kRecognitionColumns +
                                   " FROM dead_letter_recognitions")
        .run();
    requeued += changes(session);
    PreparedStatement(session, "INSERT INTO recognition_values (" + kValueColumns + ") SELECT " +
                                   kValueColumns + " FROM dead_letter_recognition_values")
        .run();
    PreparedStatement(session, "INSERT INTO alert_queue (" + kAlertColumns + ") SELECT " +
                                   kAlertColumns + " FROM dead_letter_alerts")
        .run();
    requeued += changes(session);
    PreparedStatement(session, "DELETE FROM dead_letter_recognition_values").run();
    PreparedStatement(session, "DELETE FROM dead_letter_recognitions").run();
    PreparedStatement(session, "DELETE FROM dead_letter_alerts").run();
    transaction.commit();
    return requeued;
}

}  // namespace korvane::Utils::Queries
