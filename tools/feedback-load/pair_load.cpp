#include "pair_load.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvane::FeedbackLoad {

namespace {

using Clock = std::chrono::steady_clock;

struct Reply {
    int status = 0;
    std::string body;
};

// One client's connection, kept open between requests unless told otherwise.
class Connection {
  public:
    Connection(const PairLoad::Options& options) : options_(options) {}

    Reply send(const std::string& method, const std::string& path, const std::string& body) {
        if (!session_ || !options_.keepAlive) {
            session_ = std::make_unique<Poco::Net::HTTPClientSession>(options_.host, options_.port);
            session_->setKeepAlive(options_.keepAlive);
            session_->setTimeout(Poco::Timespan(10, 0));
        }
        try {
            Poco::Net::HTTPRequest request(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
            request.setKeepAlive(options_.keepAlive);
            if (method == "POST") {
                request.setContentType("application/json");
                request.setContentLength64(static_cast<Poco::Int64>(body.size()));
            }
            session_->sendRequest(request) << body;
            Poco::Net::HTTPResponse response;
            std::istream& in = session_->receiveResponse(response);
            Reply reply;
            reply.status = response.getStatus();
            Poco::StreamCopier::copyToString(in, reply.body);
            return reply;
        } catch (...) {
            session_.reset();
            throw;
        }
    }

  private:
    const PairLoad::Options& options_;
    std::unique_ptr<Poco::Net::HTTPClientSession> session_;
};

Poco::JSON::Object::Ptr envelope(const Reply& reply, const std::string& what) {
    if (reply.status != 200) {
        throw std::runtime_error(what + " answered HTTP " + std::to_string(reply.status));
    }
    auto object = Poco::JSON::Parser().parse(reply.body).extract<Poco::JSON::Object::Ptr>();
    if (!object || object->getValue<int>("code") != 0) {
        throw std::runtime_error(what + " failed: " + reply.body.substr(0, 200));
    }
    return object;
}

std::string feedbackBody(const std::string& sid, const std::string& id, PairLoad::Target target) {
    Poco::JSON::Object body;
    body.set("sid", sid);
    body.set("id", id);
    if (target == PairLoad::Target::Agent) {
        body.set("method_of_selection", "recognition");
        body.set("product_weight", 0.315);
    }
    std::ostringstream text;
    body.stringify(text);
    return text.str();
}

struct ClientRecord {
    int pairs = 0;
    int errors = 0;
    LatencyRecord getResult, feedback, pair;
    std::string firstError;
};

void runClient(const PairLoad::Options& options, std::atomic<int>& next, ClientRecord& record) {
    Connection connection(options);
    for (int index = next++; index < options.pairs; index = next++) {
        try {
            const auto begin = Clock::now();
            const auto result =
                envelope(connection.send("GET", "/api/get_result", ""), "get_result");
            const auto asked = Clock::now();
            const auto data = result->getObject("data");
            const std::string sid = data->getValue<std::string>("sid");
            std::vector<std::string> ids;
            if (const auto items = data->getArray("items")) {
                for (std::size_t i = 0; i < items->size(); ++i) {
                    ids.push_back(
                        items->getObject(static_cast<unsigned>(i))->getValue<std::string>("id"));
                }
            }
            // The operator takes each rank in turn, and now and then a product not proposed.
            const auto pick = static_cast<std::size_t>(index) % (ids.size() + 1);
            const std::string id = pick < ids.size() ? ids[pick] : "99999";
            envelope(connection.send("POST", "/api/result_feedback",
                                     feedbackBody(sid, id, options.target)),
                     "result_feedback");
            if (options.target == PairLoad::Target::Camera) {
                const auto image = connection.send("GET", "/api/get_image", "");
                if (image.status != 200 || image.body.empty()) {
                    throw std::runtime_error("get_image answered HTTP " +
                                             std::to_string(image.status));
                }
            }
            const auto end = Clock::now();
            record.getResult.add(asked - begin);
            record.feedback.add(end - asked);
            record.pair.add(end - begin);
            ++record.pairs;
        } catch (const Poco::Exception& e) {
            ++record.errors;
            if (record.firstError.empty()) record.firstError = e.displayText();
        } catch (const std::exception& e) {
            ++record.errors;
            if (record.firstError.empty()) record.firstError = e.what();
        }
    }
}

}  // namespace

PairLoad::Result PairLoad::run() const {
    std::vector<ClientRecord> records(static_cast<std::size_t>(options_.clients));
    std::atomic<int> next{0};
    const auto begin = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (auto& record : records) {
            threads.emplace_back([this, &next, &record] { runClient(options_, next, record); });
        }
    }
    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    for (const auto& record : records) {
        result.pairs += record.pairs;
        result.errors += record.errors;
        result.getResult.merge(record.getResult);
        result.feedback.merge(record.feedback);
        result.pair.merge(record.pair);
        if (result.firstError.empty()) result.firstError = record.firstError;
    }
    return result;
}

}  // namespace korvane::FeedbackLoad
