#pragma once
// Queries on the products table, the Agent's mirror of the camera's product list with each
// product's template count and its readiness for export in source mode ("NOT_READY", "READY",
// "SENT"). Used by the monitoring loop; every function expects the caller to hold the database
// mutex, and statement errors propagate as Poco::Data exceptions.

#include <Poco/Data/Session.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvane::Utils::Queries {

// A product identifier and the number of templates the camera holds for it.
using ProductCount = std::pair<std::string, std::int32_t>;

// Adds new products as "NOT_READY"; a known product only gets its count updated and keeps its
// status. Nothing happens for an empty list.
void upsertProducts(Poco::Data::Session& session, const std::vector<ProductCount>& products);
// Keeps exactly the listed products; an empty list empties the table. Run it inside the
// caller's transaction together with upsertProducts so that a failure changes nothing.
void deleteProducts(Poco::Data::Session& session, const std::vector<std::string>& ids);
// Moves products between "NOT_READY" and "READY" by their count against threshold and returns
// every product that is "READY" afterwards. "SENT" products never change and are never returned.
std::vector<std::string> updateProductStatusReady(Poco::Data::Session& session, int threshold);
// Marks the products as exported. An empty list is a caller error: the data layer throws
// Poco::Data::BindingException.
void updateProductStatusSent(Poco::Data::Session& session, const std::vector<std::string>& ids);

}  // namespace korvane::Utils::Queries
