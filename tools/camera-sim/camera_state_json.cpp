// CameraState as JSON: the snapshot served at /sim/state and written to the state file, and
// the way back from a saved file.
#include <Poco/JSON/Array.h>

#include "camera_state.h"
#include "sim_message.h"

namespace korvane::CameraSim {
namespace {

Poco::JSON::Array::Ptr stringArray(const std::vector<std::string>& values) {
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    for (const auto& value : values) array->add(value);
    return array;
}

std::vector<std::string> readStrings(const Poco::JSON::Array::Ptr& array) {
    std::vector<std::string> values;
    if (!array) return values;
    for (std::size_t i = 0; i < array->size(); ++i) {
        values.push_back(array->get(static_cast<unsigned>(i)).toString());
    }
    return values;
}

void setOptional(Poco::JSON::Object::Ptr& object, const char* key,
                 const std::optional<std::string>& value) {
    if (value) object->set(key, *value);
}

std::optional<std::string> readOptional(const Poco::JSON::Object::Ptr& object, const char* key) {
    if (!object || !object->has(key)) return std::nullopt;
    return object->getValue<std::string>(key);
}

Poco::JSON::Object::Ptr productsSection(const DeviceData& data) {
    Poco::JSON::Object::Ptr products = newObject();
    for (const auto& [id, product] : data.products) {
        Poco::JSON::Object::Ptr entry = newObject();
        entry->set("templates", stringArray(product.templates));
        if (product.soldout) entry->set("soldout", *product.soldout);
        products->set(id, entry);
    }
    return products;
}

Poco::JSON::Object::Ptr settingsSection(const DeviceData& data) {
    Poco::JSON::Object::Ptr settings = newObject();
    settings->set("max_result_num", data.maxResult);
    settings->set("predict_speed", data.predictSpeed);
    settings->set("learnMode", data.learnMode);
    settings->set("soldOutLimit", data.soldOutLimit);
    settings->set("max_templates", data.maxTemplates);
    settings->set("clock_offset_us", data.clockOffsetUs);
    Poco::JSON::Object::Ptr calib = newObject();
    calib->set("left", data.calib.left);
    calib->set("top", data.calib.top);
    calib->set("width", data.calib.width);
    calib->set("height", data.calib.height);
    settings->set("calib", calib);
    Poco::JSON::Object::Ptr extra = newObject();
    setOptional(extra, "store_name", data.storeName);
    setOptional(extra, "store_id", data.storeId);
    setOptional(extra, "store_dep", data.storeDep);
    settings->set("extra_info", extra);
    return settings;
}

Poco::JSON::Object::Ptr syncSection(const DeviceData& data) {
    Poco::JSON::Object::Ptr sync = newObject();
    sync->set("mode", data.sync.mode);
    sync->set("upload", data.sync.upload);
    sync->set("download", data.sync.download);
    sync->set("masterIP", data.sync.masterIP);
    sync->set("masterSN", data.sync.masterSN);
    setOptional(sync, "mastersyncPort", data.sync.mastersyncPort);
    sync->set("limit", data.sync.limit);
    sync->set("count", data.sync.count);
    sync->set("message", data.sync.message);
    sync->set("synctime", data.sync.synctime);
    Poco::JSON::Object::Ptr superior = newObject();
    superior->set("sn", data.superiorSn);
    superior->set("ip", data.superiorIp);
    sync->set("superior", superior);
    Poco::JSON::Object::Ptr deletion = newObject();
    for (const auto& [id, sns] : data.deletionAll) deletion->set(id, stringArray(sns));
    sync->set("deletion_all", deletion);
    return sync;
}

Poco::JSON::Array::Ptr jobsSection(const DeviceData& data) {
    Poco::JSON::Array::Ptr jobs = new Poco::JSON::Array;
    for (const auto& [kind, job] : data.jobs) {
        const JobStage& stage = CameraState::currentStage(job, data.sim.jobStepMs);
        Poco::JSON::Object::Ptr entry = newObject();
        entry->set("kind", CameraState::jobName(kind));
        entry->set("status", stage.status);
        entry->set("msg", stage.msg);
        entry->set("filename", job.filename);
        entry->set("bytes", job.bytes);
        Poco::JSON::Object::Ptr params = newObject();
        for (const auto& [name, value] : job.params) params->set(name, value);
        entry->set("params", params);
        jobs->add(entry);
    }
    return jobs;
}

Poco::JSON::Object::Ptr simSection(const DeviceData& data) {
    Poco::JSON::Object::Ptr sim = newObject();
    sim->set("job_step_ms", data.sim.jobStepMs);
    sim->set("reboot_down_ms", data.sim.rebootDownMs);
    Poco::JSON::Object::Ptr failNext = newObject();
    for (const auto& [kind, status] : data.sim.failNext) {
        failNext->set(CameraState::jobName(kind), status);
    }
    sim->set("fail_next_job", failNext);
    if (data.sim.fixedResult) {
        Poco::JSON::Array::Ptr fixed = new Poco::JSON::Array;
        for (const auto& candidate : *data.sim.fixedResult) {
            Poco::JSON::Object::Ptr item = newObject();
            item->set("id", candidate.id);
            item->set("score", candidate.score);
            fixed->add(item);
        }
        sim->set("fixed_result", fixed);
    } else {
        sim->set("fixed_result", Poco::Dynamic::Var());
    }
    return sim;
}

}  // namespace

Poco::JSON::Object::Ptr CameraState::snapshot() {
    return with([](DeviceData& data) {
        Poco::JSON::Object::Ptr root = newObject();
        Poco::JSON::Object::Ptr identity = newObject();
        identity->set("sn", data.sn);
        identity->set("app", data.app);
        identity->set("engine", data.engine);
        identity->set("firmware", data.firmware);
        identity->set("board", data.board);
        identity->set("clientID", data.clientID);
        root->set("identity", identity);
        root->set("products", productsSection(data));
        root->set("settings", settingsSection(data));
        root->set("sync", syncSection(data));
        Poco::JSON::Object::Ptr counters = newObject();
        counters->set("reboots", data.reboots);
        counters->set("resets", data.resets);
        counters->set("internet_once", data.internetOnce);
        counters->set("results", data.resultsServed);
        root->set("counters", counters);
        Poco::JSON::Array::Ptr feedback = new Poco::JSON::Array;
        for (const auto& record : data.feedback) {
            Poco::JSON::Object::Ptr entry = newObject();
            entry->set("sid", record.sid);
            entry->set("id", record.id);
            entry->set("known_sid", record.knownSid);
            feedback->add(entry);
        }
        root->set("feedback", feedback);
        root->set("jobs", jobsSection(data));
        std::vector<std::string> archives;
        for (const auto& [name, bytes] : data.archives) archives.push_back(name);
        root->set("archives", stringArray(archives));
        root->set("sim", simSection(data));
        return root;
    });
}

void CameraState::restore(const Poco::JSON::Object::Ptr& saved) {
    with([&saved](DeviceData& data) {
        if (auto identity = saved->getObject("identity")) {
            data.app = identity->optValue<std::string>("app", data.app);
            data.firmware = identity->optValue<std::string>("firmware", data.firmware);
            data.engine = identity->optValue<std::string>("engine", data.engine);
        }
        if (auto products = saved->getObject("products")) {
            data.products.clear();
            for (const auto& name : products->getNames()) {
                auto entry = products->getObject(name);
                if (!entry) continue;
                Product& product = data.products[name];
                product.templates = readStrings(entry->getArray("templates"));
                if (entry->has("soldout")) product.soldout = entry->getValue<bool>("soldout");
            }
        }
        if (auto settings = saved->getObject("settings")) {
            data.maxResult = settings->optValue<int>("max_result_num", data.maxResult);
            data.predictSpeed = settings->optValue<std::string>("predict_speed", data.predictSpeed);
            data.learnMode = settings->optValue<int>("learnMode", data.learnMode);
            data.soldOutLimit = settings->optValue<int>("soldOutLimit", data.soldOutLimit);
            data.maxTemplates = settings->optValue<int>("max_templates", data.maxTemplates);
            data.clockOffsetUs =
                settings->optValue<std::int64_t>("clock_offset_us", data.clockOffsetUs);
            if (auto calib = settings->getObject("calib")) {
                data.calib.left = calib->optValue<int>("left", data.calib.left);
                data.calib.top = calib->optValue<int>("top", data.calib.top);
                data.calib.width = calib->optValue<int>("width", data.calib.width);
                data.calib.height = calib->optValue<int>("height", data.calib.height);
            }
            auto extra = settings->getObject("extra_info");
            data.storeName = readOptional(extra, "store_name");
            data.storeId = readOptional(extra, "store_id");
            data.storeDep = readOptional(extra, "store_dep");
        }
        if (auto sync = saved->getObject("sync")) {
            data.sync.mode = sync->optValue<std::string>("mode", data.sync.mode);
            data.sync.upload = sync->optValue<bool>("upload", data.sync.upload);
            data.sync.download = sync->optValue<bool>("download", data.sync.download);
            data.sync.masterIP = sync->optValue<std::string>("masterIP", data.sync.masterIP);
            data.sync.masterSN = sync->optValue<std::string>("masterSN", data.sync.masterSN);
            data.sync.mastersyncPort = readOptional(sync, "mastersyncPort");
            data.sync.limit = sync->optValue<int>("limit", data.sync.limit);
            if (auto superior = sync->getObject("superior")) {
                data.superiorSn = superior->optValue<std::string>("sn", data.superiorSn);
                data.superiorIp = superior->optValue<std::string>("ip", data.superiorIp);
            }
            if (auto deletion = sync->getObject("deletion_all")) {
                data.deletionAll.clear();
                for (const auto& id : deletion->getNames()) {
                    data.deletionAll[id] = readStrings(deletion->getArray(id));
                }
            }
        }
    });
}

}  // namespace korvane::CameraSim
