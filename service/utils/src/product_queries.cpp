#include "product_queries.h"

#include <Poco/Data/Statement.h>

#include "query_rows.h"

namespace korvane::Utils::Queries {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::limit;
using Poco::Data::Keywords::now;

void upsertProducts(Poco::Data::Session& session, const std::vector<ProductCount>& products) {
    if (products.empty()) {
        return;
    }
    std::vector<std::string> ids;
    std::vector<std::int32_t> counts;
    ids.reserve(products.size());
    counts.reserve(products.size());
    for (const auto& [id, count] : products) {
        ids.push_back(id);
        counts.push_back(count);
    }
    session << "INSERT INTO products (created_at, updated_at, id, template_count, status) "
               "VALUES (CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, ?, ?, 'NOT_READY') ON "
               "CONFLICT(id) DO UPDATE SET updated_at = CURRENT_TIMESTAMP, template_count = "
               "excluded.template_count",
        bind(ids), bind(counts), now;
}

void deleteProducts(Poco::Data::Session& session, const std::vector<std::string>& ids) {
    if (ids.empty()) {
        session << "DELETE from products;", now;
        return;
    }
    // The keep-list can be as long as the camera's product list, too long for an IN (...) of
    // bound parameters, so it goes through a temporary table.
    session << "DROP TABLE IF EXISTS temp_products;", now;
    session << "CREATE TEMP TABLE temp_products (id TEXT);", now;
    session << "INSERT INTO temp_products (id) VALUES (?);", bind(ids), now;
    session << "DELETE from products WHERE id not in (SELECT id FROM temp_products);", now;
    session << "DROP TABLE IF EXISTS temp_products;", now;
}

std::vector<std::string> updateProductStatusReady(Poco::Data::Session& session, int threshold) {
    session << "UPDATE products SET status='NOT_READY' WHERE status = 'READY' and "
               "template_count< ?;",
        bind(threshold), now;
    std::vector<std::string> ready;
    std::string id;
    Poco::Data::Statement update(session);
    update << "UPDATE products SET status='READY' WHERE status != 'SENT'and template_count>= ? "
              "RETURNING id;",
        bind(threshold), into(id), limit(1);
    forEachRow(update, [&] { ready.push_back(id); });
    return ready;
}

void updateProductStatusSent(Poco::Data::Session& session, const std::vector<std::string>& ids) {
    session << "UPDATE products SET status='SENT' WHERE id = ?;", bind(ids), now;
}

}  // namespace korvane::Utils::Queries
