#pragma once
// Row-by-row reading for the query functions: the statement is prepared with its into()
// targets and limit(1), and each step fills them with the next row. Callers hold the database
// mutex, as for every query.

#include <Poco/Data/Statement.h>

namespace korvane::Utils::Queries {

// Calls onRow after each row is extracted into the statement's targets, in result order.
template <typename OnRow>
void forEachRow(Poco::Data::Statement& select, OnRow onRow) {
    while (!select.done()) {
        if (select.execute() == 0) {
            break;
        }
        onRow();
    }
}

}  // namespace korvane::Utils::Queries
