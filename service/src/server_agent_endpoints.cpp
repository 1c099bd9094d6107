// The agent's own endpoints under /api/agent/ and the route registration.
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>

#include <set>

#include "build_constants.h"
#include "config_conversion.h"
#include "dead_letter_queries.h"
#include "filesystem.h"
#include "logger.h"
#include "monitoring_configuration.h"
#include "queue_queries.h"
#include "responses.h"
#include "server.h"
#include "state.h"
#include "statistic_handler.h"

namespace korvane::Engine::Test {

namespace {

const std::set<std::string> kGet = {"GET"};
const std::set<std::string> kPost = {"POST"};
constexpr int kConfigurationRejected = -6213;

ApiReply envelope(const Poco::JSON::Object::Ptr& object) {
    return ApiReply::json(Utils::toJsonText(object));
}

// The "keys" member of a get_config request as a set of key names; empty when absent.
std::set<std::string> requestedKeys(const Poco::JSON::Object::Ptr& body) {
    std::set<std::string> keys;
    auto array = body->getArray("keys");
    if (!array) return keys;
    for (const auto& element : *array) {
        if (!element.isEmpty()) keys.insert(element.convert<std::string>());
    }
    return keys;
}

}  // namespace

void Server::registerRoutes() {
    router_.setOutsideRoute([this](const ApiRequest& r) { return outsideApi(r); });
    registerCameraRoutes();
    registerOperatorRoutes();
    // The configuration holds the service's credentials and decides where the Agent connects.
    router_.addAgentCommand(
        "get_config", kPost, [this](const ApiRequest& r) { return getConfig(r); },
        LocalApi::Access::Admin);
    router_.addAgentCommand(
        "set_config", kPost, [this](const ApiRequest& r) { return setConfig(r); },
        LocalApi::Access::Admin);
    router_.addAgentCommand("set_data_loop_freq", kPost,
                            [this](const ApiRequest& r) { return setDataLoopFreq(r); });
    router_.addAgentCommand("get_info", kGet, [this](const ApiRequest&) { return getInfo(); });
    // Sends entries the service refused for good back to it, so an operator decides.
    router_.addAgentCommand(
        "requeue_dead_letters", kPost, [this](const ApiRequest&) { return requeueDeadLetters(); },
        LocalApi::Access::Admin);
    router_.addAgentCommand("check_connect", kGet,
                            [this](const ApiRequest&) { return checkConnect(); });
    // The relay acts on the whole fleet's devices with the Agent's own token.
    router_.setMonitoringRoute([this](const ApiRequest& r) { return relayToMonitoring(r); },
                               LocalApi::Access::Admin);
    router_.addAgentCommand("get_statistic", kPost, [this](const ApiRequest& r) {
        return envelope(Utils::process_get_statistic(Utils::parseJsonObject(r.body), dbMutex_,
                                                     database_.GetSession()));
    });
}

ApiReply Server::getConfig(const ApiRequest& request) {
    const std::set<std::string> keys = requestedKeys(Utils::parseJsonObject(request.body));
    Poco::JSON::Object::Ptr data = new Poco::JSON::Object;
    {
        std::lock_guard lock(dbMutex_);
        if (keys.empty()) {
            for (const auto& [key, value] : configuration_) data->set(key, value);
        } else {
            for (const auto& key : keys) {
                if (auto it = configuration_.find(key); it != configuration_.end()) {
                    data->set(key, it->second);
                }
            }
        }
    }
    // The API answers anyone on the network: secrets never leave through it.
    return envelope(Utils::make_response(0, Utils::maskSecrets(*data)));
}

ApiReply Server::setConfig(const ApiRequest& request) {
    // A setup tool writing back what get_config showed must not replace a secret by its mask.
    const Poco::JSON::Object::Ptr changes =
        Utils::withoutMaskedSecrets(*Utils::parseJsonObject(request.body));
    try {
        {
            // Checked and stored as one step, so that two changes cannot combine into a
            // configuration neither was checked as.
            std::lock_guard change(configChangeMutex_);
            if (!acceptableConfiguration(changes)) {
                return envelope(Utils::get_empty_response(kConfigurationRejected));
            }
            Utils::jsonToConfig(changes, dbMutex_, database_, configuration_);
        }
        reinitRuntimeParameters();
    } catch (const Poco::NotFoundException& e) {
        Log()->error("set_config failed: {};", e.displayText());
        return ApiReply::failure(200, LocalApi::kInternalErrorCode);
    }
    return envelope(Utils::get_empty_response(0));
}

bool Server::acceptableConfiguration(const Poco::JSON::Object::Ptr& changes) {
    try {
        checkConfigurationChange(configSnapshot(), changes);
        return true;
    } catch (const std::exception& e) {
        // Storing it would leave the Agent unable to rebuild its components, now and at
        // every later start.
        Log()->error("set_config rejected: {};", e.what());
        return false;
    }
}

ApiReply Server::getInfo() {
    const State& state = State::getInstance();
    Poco::JSON::Object::Ptr data = new Poco::JSON::Object;
    data->set("version", Utils::BuildConstants::pellix_agent_version);
    data->set("source_mode_enabled", state.sm_enabled());
    data->set("source_mode_template_threshold", state.sm_template_threshold());
    data->set("source_mode_polling_interval_sec", state.sm_polling_interval());
    data->set("log_directory", Utils::Filesystem::GetLogDirectory());
    std::map<std::string, int> counts;
    int deadLetters = 0;
    {
        std::lock_guard lock(dbMutex_);
        counts = Utils::Queries::getCountDataSend(database_.GetSession());
        deadLetters = Utils::Queries::countDeadLetters(database_.GetSession());
    }
    data->set("non_send_alert_count", counts["alert_count"]);
    data->set("non_send_recognition_count", counts["recognition_count"]);
    data->set("dead_letter_count", deadLetters);
    return envelope(Utils::make_response(0, data));
}

ApiReply Server::requeueDeadLetters() {
    int requeued = 0;
    {
        std::lock_guard lock(dbMutex_);
        requeued = Utils::Queries::requeueDeadLetters(database_.GetSession());
    }
    Log()->info("Dead letters put back at the head of their queues: {};", requeued);
    Poco::JSON::Object::Ptr data = new Poco::JSON::Object;
    data->set("requeued", requeued);
    return envelope(Utils::make_response(0, data));
}

ApiReply Server::setDataLoopFreq(const ApiRequest& request) {
    Utils::parseJsonObject(request.body);
    return envelope(Utils::get_empty_response(0));
}

}  // namespace korvane::Engine::Test
