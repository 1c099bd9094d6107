#include "recognition_commands.h"

#include <Poco/JSON/Array.h>

#include <algorithm>
#include <cmath>

#include "sample_jpeg.h"

namespace korvane::CameraSim {
namespace {

constexpr std::size_t kMaxCandidates = 5;
constexpr std::size_t kRememberedSids = 4096;
constexpr std::size_t kRememberedFeedback = 200;

// Scores are kept strictly between 0 and 1 with four decimals, so they always reach the wire as
// numbers with a fraction.
double tidyScore(double score) {
    return std::clamp(std::round(score * 10000.0) / 10000.0, 0.0001, 0.9999);
}

std::vector<Candidate> inventCandidates(DeviceData& d, std::size_t count) {
    std::vector<std::string> pool;
    for (const auto& [id, product] : d.products) {
        if (!product.templates.empty()) pool.push_back(id);
    }
    count = std::min(count, pool.size());
    // Partial shuffle: the first `count` entries become a random choice without repeats.
    for (std::size_t i = 0; i < count; ++i) {
        std::uniform_int_distribution<std::size_t> pick(i, pool.size() - 1);
        std::swap(pool[i], pool[pick(d.rng)]);
    }
    std::vector<Candidate> candidates;
    double score = std::uniform_real_distribution<double>(0.55, 0.97)(d.rng);
    for (std::size_t i = 0; i < count; ++i) {
        double tidy = tidyScore(score);
        if (!candidates.empty()) tidy = std::min(tidy, candidates.back().score - 0.0001);
        candidates.push_back({pool[i], tidyScore(tidy)});
        score *= std::uniform_real_distribution<double>(0.25, 0.8)(d.rng);
    }
    return candidates;
}

void rememberSid(DeviceData& d, const std::string& sid) {
    d.recentSids.push_back(sid);
    d.recentSidSet.insert(sid);
    if (d.recentSids.size() > kRememberedSids) {
        d.recentSidSet.erase(d.recentSids.front());
        d.recentSids.pop_front();
    }
}

}  // namespace

RecognitionCommands::RecognitionCommands(CameraState& state) : state_(state) {}

void RecognitionCommands::registerInto(CommandTable& table) {
    using R = RecognitionCommands;
    addCommand(table, "get_result", Verb::Any, this, &R::getResult);
    addCommand(table, "result_feedback", Verb::Post, this, &R::resultFeedback);
    addCommand(table, "get_image", Verb::Any, this, &R::getImage);
}

SimReply RecognitionCommands::getResult(const SimRequest&) {
    return state_.with([](DeviceData& d) {
        ++d.resultsServed;
        const std::size_t wanted = std::min(static_cast<std::size_t>(d.maxResult), kMaxCandidates);
        std::vector<Candidate> candidates;
        if (d.sim.fixedResult) {
            candidates = *d.sim.fixedResult;
            if (candidates.size() > wanted) candidates.resize(wanted);
        } else {
            candidates = inventCandidates(d, wanted);
        }
        const std::string sid = nextSerialId(d, "R");
        rememberSid(d, sid);

        Poco::JSON::Object::Ptr data = newObject();
        if (candidates.empty()) {
            data->set("items", Poco::Dynamic::Var());
        } else {
            Poco::JSON::Array::Ptr items = new Poco::JSON::Array;
            for (const auto& candidate : candidates) {
                Poco::JSON::Object::Ptr item = newObject();
                item->set("id", candidate.id);
                item->set("score", candidate.score);
                items->add(item);
            }
            data->set("items", items);
        }
        data->set("sid", sid);
        return okReply(data);
    });
}

// Feedback is accepted for any session id, as the camera cannot tell an old session from a
// foreign one; in learning mode 1 a confirmed product of a known session gains a template.
SimReply RecognitionCommands::resultFeedback(const SimRequest& request) {
    const auto body = bodyObject(request);
    const std::string sid = needString(body, "sid");
    const std::string id = needString(body, "id");
    if (sid.empty() || id.empty()) {
        throw CommandError(kParameterError, "Parameter error: sid and id must not be empty");
    }
    return state_.with([&](DeviceData& d) {
        const bool known = d.recentSidSet.count(sid) > 0;
        d.feedback.push_back({sid, id, known});
        if (d.feedback.size() > kRememberedFeedback) d.feedback.pop_front();
        if (known && d.learnMode == 1) {
            Product& product = d.products[id];
            if (static_cast<int>(product.templates.size()) < d.maxTemplates) {
                product.templates.push_back(nextSerialId(d, "T"));
            }
        }
        return okReply();
    });
}

SimReply RecognitionCommands::getImage(const SimRequest&) {
    return bytesReply(sampleJpeg(), "image/jpeg");
}

}  // namespace korvane::CameraSim
