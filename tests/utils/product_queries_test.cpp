#include "product_queries.h"

#include <Poco/Data/DataException.h>
#include <Poco/Data/Session.h>
#include <Poco/Data/Transaction.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "migrated_store.h"

namespace {

namespace Queries = korvane::Utils::Queries;
using Queries::ProductCount;
using Row = std::tuple<std::string, int, std::string>;  // id, template_count, status

class ProductQueriesTest : public korvane::Testing::MigratedStoreTest {
  protected:
    // One source-mode pass as the monitoring loop runs it; returns the ids to export, sorted.
    std::vector<std::string> pass(const std::vector<ProductCount>& camera, int threshold) {
        std::vector<std::string> ids;
        for (const auto& product : camera) {
            ids.push_back(product.first);
        }
        Poco::Data::Transaction transaction(session());
        Queries::deleteProducts(session(), ids);
        Queries::upsertProducts(session(), camera);
        transaction.commit();
        auto ready = Queries::updateProductStatusReady(session(), threshold);
        std::sort(ready.begin(), ready.end());
        return ready;
    }

    std::vector<Row> rows() {
        using Poco::Data::Keywords::into;
        using Poco::Data::Keywords::now;
        std::vector<std::string> ids;
        std::vector<int> counts;
        std::vector<std::string> statuses;
        session() << "SELECT id, template_count, status FROM products ORDER BY id", into(ids),
            into(counts), into(statuses), now;
        std::vector<Row> result;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            result.emplace_back(ids[i], counts[i], statuses[i]);
        }
        return result;
    }
};

TEST_F(ProductQueriesTest, PassesMoveProductsThroughTheirStatuses) {
    struct Pass {
        std::vector<ProductCount> camera;
        int threshold;
        std::vector<std::string> ready;     // expected, sorted
        std::vector<std::string> exported;  // accepted by the service after the pass
        std::vector<Row> table;             // expected after the pass, by id
    };
    const std::vector<Pass> passes = {
        // New products enter NOT_READY; those at or above the threshold become READY at once.
        {{{"A", 12}, {"B", 3}, {"C", 10}},
         10,
         {"A", "C"},
         {"C"},
         {{"A", 12, "READY"}, {"B", 3, "NOT_READY"}, {"C", 10, "SENT"}}},
        // A ready product that was not exported is offered again; SENT keeps through a drop.
        {{{"A", 12}, {"B", 3}, {"C", 4}},
         10,
         {"A"},
         {},
         {{"A", 12, "READY"}, {"B", 3, "NOT_READY"}, {"C", 4, "SENT"}}},
        // Falling below the threshold un-readies; SENT keeps through a rise as well.
        {{{"A", 9}, {"B", 11}, {"C", 25}},
         10,
         {"B"},
         {},
         {{"A", 9, "NOT_READY"}, {"B", 11, "READY"}, {"C", 25, "SENT"}}},
        // A raised threshold takes readiness back; the camera's list order does not matter.
        {{{"C", 25}, {"B", 11}, {"A", 9}},
         12,
         {},
         {},
         {{"A", 9, "NOT_READY"}, {"B", 11, "NOT_READY"}, {"C", 25, "SENT"}}},
        // Products gone from the camera are dropped, a SENT one included.
        {{{"B", 11}}, 10, {"B"}, {"B"}, {{"B", 11, "SENT"}}},
        // An empty camera list empties the table.
        {{}, 10, {}, {}, {}},
        // A product that comes back starts over.
        {{{"B", 15}}, 10, {"B"}, {}, {{"B", 15, "READY"}}},
    };
    for (std::size_t i = 0; i < passes.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i + 1));
        const auto& step = passes[i];
        EXPECT_EQ(pass(step.camera, step.threshold), step.ready);
        if (!step.exported.empty()) {
            Queries::updateProductStatusSent(session(), step.exported);
        }
        EXPECT_EQ(rows(), step.table);
    }
}

TEST_F(ProductQueriesTest, ListBoundariesAndRowStamps) {
    pass({{"A", 12}, {"B", 3}, {"C", 1}}, 10);
    execute(
        "UPDATE products SET created_at = '2020-01-01 00:00:00', "
        "updated_at = '2020-01-01 00:00:00'");

    // An empty upsert touches nothing.
    Queries::upsertProducts(session(), {});
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM products WHERE updated_at = '2020-01-01 00:00:00'"), 3);

    // An update keeps the row's creation time and status, and stamps the change.
    Queries::upsertProducts(session(), {{"A", 14}});
    EXPECT_EQ(text("SELECT created_at FROM products WHERE id = 'A'"), "2020-01-01 00:00:00");
    EXPECT_NE(text("SELECT updated_at FROM products WHERE id = 'A'"), "2020-01-01 00:00:00");
    EXPECT_EQ(text("SELECT status FROM products WHERE id = 'A'"), "READY");
    EXPECT_EQ(scalar("SELECT template_count FROM products WHERE id = 'A'"), 14);

    // Exporting nothing is a caller error and changes nothing.
    EXPECT_THROW(Queries::updateProductStatusSent(session(), {}), Poco::Data::BindingException);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM products WHERE status = 'SENT'"), 0);

    // Keeping one product twice over, and an id the table does not hold, removes the others.
    Queries::deleteProducts(session(), {"B", "B", "Z"});
    EXPECT_EQ(rows(), (std::vector<Row>{{"B", 3, "NOT_READY"}}));
    // The keep-list leaves nothing behind for the next call to trip over.
    Queries::deleteProducts(session(), {"B"});
    EXPECT_EQ(rows().size(), 1u);
}

}  // namespace
