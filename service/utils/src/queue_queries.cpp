#include "queue_queries.h"

#include <Poco/Data/Statement.h>

namespace korvane::Utils::Queries {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;

int addAlertQueue(Poco::Data::Session& session, int code, const std::string& description) {
    int id = 0;
    session << "INSERT INTO alert_queue (created_at, updated_at, code, description) "
               "VALUES(CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?) RETURNING id",
        bind(code), bind(description), into(id), now;
    return id;
}

}  // namespace korvane::Utils::Queries
