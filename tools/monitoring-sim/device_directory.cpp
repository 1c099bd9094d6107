#include "device_directory.h"

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <optional>

namespace korvane::MonitoringSim {
namespace {

boost::json::object storeJson(const MonitoringSimulator::Store& store) {
    return {{"id", store.id},
            {"name", store.name},
            {"type", store.type},
            {"department", store.department},
            {"region", store.region}};
}

boost::json::object deviceJson(const MonitoringSimulator::Device& device) {
    return {{"id", device.id},       {"serial_number", device.serialNumber},
            {"model", device.model}, {"type", device.type},
            {"name", device.name},   {"store_id", device.storeId}};
}

std::string textOf(const boost::json::value& value) {
    return value.is_string() ? std::string(value.get_string()) : boost::json::serialize(value);
}

// Reads the string members a device record knows; a member of another type is refused.
std::string applyDeviceMembers(const boost::json::object& body,
                               MonitoringSimulator::Device& device) {
    const std::pair<const char*, std::string MonitoringSimulator::Device::*> members[] = {
        {"serial_number", &MonitoringSimulator::Device::serialNumber},
        {"model", &MonitoringSimulator::Device::model},
        {"type", &MonitoringSimulator::Device::type},
        {"name", &MonitoringSimulator::Device::name},
        {"store_id", &MonitoringSimulator::Device::storeId}};
    for (const auto& [name, field] : members) {
        const boost::json::value* value = body.if_contains(name);
        if (!value) continue;
        if (!value->is_string()) return std::string("member \"") + name + "\" must be a string";
        device.*field = std::string(value->get_string());
    }
    return {};
}

// Parses the body of a POST or PATCH: it must be a JSON object sent as JSON.
std::optional<Reply> readObject(const Exchange& exchange, boost::json::object& object) {
    if (!exchange.hasJsonBody()) {
        return errorReply(415, "UNSUPPORTED_MEDIA_TYPE", "Content-Type must be application/json");
    }
    boost::system::error_code error;
    boost::json::value value = boost::json::parse(exchange.body, error);
    if (error) return errorReply(400, "BAD_REQUEST", "Body is not JSON: " + error.message());
    if (!value.is_object()) return errorReply(400, "BAD_REQUEST", "Body must be a JSON object");
    object = std::move(value.get_object());
    return std::nullopt;
}

Reply methodNotAllowed() {
    return errorReply(405, "METHOD_NOT_ALLOWED", "Method not allowed on this route");
}

Reply deviceNotFound(const std::string& id) {
    return errorReply(404, "DEVICE_NOT_FOUND", "Device " + id + " not found");
}

}  // namespace

void DeviceDirectory::seed() {
    addStore({"", "Central market", "supermarket", "fresh produce", "North"});
    addStore({"", "Riverside", "convenience", "grocery", "North"});
    addStore({"", "Harbour mall", "hypermarket", "fresh produce", "South"});
    addModel("Korvane Pellix Module");
    addModel("Counter scale S2");
    addDevice({"", "KPM-SEED-0001", "Korvane Pellix Module", "recognition_module",
               "Produce scale 1", "store-1"});
    addDevice({"", "S2-SEED-0002", "Counter scale S2", "scale", "Counter scale", "store-2"});
}

void DeviceDirectory::clear() {
    std::lock_guard lock(mutex_);
    stores_.clear();
    models_.clear();
    devices_.clear();
    attributes_.clear();
    lastIds_.clear();
}

std::string DeviceDirectory::newId(const char* prefix) {
    return std::string(prefix) + "-" + std::to_string(++lastIds_[prefix]);
}

std::string DeviceDirectory::addStore(Store store) {
    std::lock_guard lock(mutex_);
    if (store.id.empty()) store.id = newId("store");
    const auto same = std::find_if(stores_.begin(), stores_.end(),
                                   [&](const Store& s) { return s.id == store.id; });
    if (same != stores_.end()) {
        *same = std::move(store);
        return same->id;
    }
    stores_.push_back(std::move(store));
    return stores_.back().id;
}

std::string DeviceDirectory::addDevice(Device device) {
    std::lock_guard lock(mutex_);
    if (device.id.empty()) device.id = newId("device");
    if (Device* same = findDevice(device.id)) {
        *same = std::move(device);
        return same->id;
    }
    devices_.push_back(std::move(device));
    return devices_.back().id;
}

std::string DeviceDirectory::addModel(const std::string& name) {
    std::lock_guard lock(mutex_);
    models_.emplace_back(newId("model"), name);
    return models_.back().first;
}

std::vector<DeviceDirectory::Device> DeviceDirectory::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void DeviceDirectory::mergeAttributes(const std::string& deviceId,
                                      const boost::json::array& items) {
    std::lock_guard lock(mutex_);
    boost::json::array& kept = attributes_[deviceId];
    for (const auto& item : items) {
        const auto& key = item.at("key");
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const boost::json::value& k) {
            return k.at("key") == key;
        });
        if (same != kept.end()) {
            *same = item;
        } else {
            kept.push_back(item);
        }
    }
}

DeviceDirectory::Device* DeviceDirectory::findDevice(const std::string& id) {
    const auto found =
        std::find_if(devices_.begin(), devices_.end(), [&](const Device& d) { return d.id == id; });
    return found == devices_.end() ? nullptr : &*found;
}

// Query parameters named after a member of the listed items filter by equality; others (paging
// and the like) are accepted and ignored.
Reply DeviceDirectory::list(const Exchange& exchange, boost::json::array items) const {
    boost::json::array kept;
    for (auto& item : items) {
        const boost::json::object& object = item.get_object();
        const bool wanted =
            std::all_of(exchange.query.begin(), exchange.query.end(), [&](const auto& pair) {
                const boost::json::value* member = object.if_contains(pair.first);
                return !member || textOf(*member) == pair.second;
            });
        if (wanted) kept.push_back(std::move(item));
    }
    const auto total = kept.size();
    return jsonReply(200, boost::json::object{{"data", std::move(kept)}, {"total", total}});
}

boost::json::array DeviceDirectory::namedList(std::string Store::*field) const {
    std::vector<std::string> names;
    for (const auto& store : stores_) {
        if (std::find(names.begin(), names.end(), store.*field) == names.end()) {
            names.push_back(store.*field);
        }
    }
    boost::json::array items;
    for (std::size_t i = 0; i < names.size(); ++i) {
        items.push_back(boost::json::object{{"id", i + 1}, {"name", names[i]}});
    }
    return items;
}

Reply DeviceDirectory::createDevice(const boost::json::object& body) {
    Device device;
    device.model.clear();
    device.type.clear();
    const std::string fault = applyDeviceMembers(body, device);
    if (!fault.empty()) return errorReply(400, "BAD_REQUEST", fault);
    if (device.serialNumber.empty()) {
        return errorReply(400, "BAD_REQUEST", "member \"serial_number\" is required");
    }
    std::lock_guard lock(mutex_);
    const bool taken = std::any_of(devices_.begin(), devices_.end(), [&](const Device& d) {
        return d.serialNumber == device.serialNumber;
    });
    if (taken) {
        return errorReply(409, "DEVICE_ALREADY_EXISTS",
                          "A device with serial number " + device.serialNumber + " exists");
    }
    device.id = newId("device");
    devices_.push_back(device);
    return jsonReply(200, deviceJson(device));
}

Reply DeviceDirectory::createModel(const boost::json::object& body) {
    const boost::json::value* name = body.if_contains("name");
    if (!name || !name->is_string() || name->get_string().empty()) {
        return errorReply(400, "BAD_REQUEST", "member \"name\" must be a non-empty string");
    }
    std::lock_guard lock(mutex_);
    models_.emplace_back(newId("model"), std::string(name->get_string()));
    return jsonReply(
        200, boost::json::object{{"id", models_.back().first}, {"name", models_.back().second}});
}

// {"device_ids": [...]} narrows the answer to those devices; without it every device is listed.
Reply DeviceDirectory::attributeList(const boost::json::object& body) const {
    const boost::json::value* wanted = body.if_contains("device_ids");
    if (wanted && !wanted->is_array()) {
        return errorReply(400, "BAD_REQUEST", "member \"device_ids\" must be an array");
    }
    std::lock_guard lock(mutex_);
    boost::json::array items;
    for (const auto& device : devices_) {
        if (wanted) {
            const auto& ids = wanted->get_array();
            if (std::find(ids.begin(), ids.end(), boost::json::value(device.id)) == ids.end()) {
                continue;
            }
        }
        const auto found = attributes_.find(device.id);
        items.push_back(boost::json::object{
            {"id", device.id},
            {"attributes", found == attributes_.end() ? boost::json::array() : found->second}});
    }
    return jsonReply(200, boost::json::object{{"data", std::move(items)}});
}

Reply DeviceDirectory::updateDevice(const std::string& id, const boost::json::object& body) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(id);
    if (!device) return deviceNotFound(id);
    Device changed = *device;
    const std::string fault = applyDeviceMembers(body, changed);
    if (!fault.empty()) return errorReply(400, "BAD_REQUEST", fault);
    *device = std::move(changed);
    return jsonReply(200, deviceJson(*device));
}

Reply DeviceDirectory::handle(const Exchange& exchange, const RouteMatch& match) {
    const std::string& method = exchange.method;
    const std::string& route = match.pattern;
    const bool get = method == "GET";
    const auto withBody = [&exchange](auto&& action) -> Reply {
        boost::json::object body;
        if (auto refusal = readObject(exchange, body)) return *refusal;
        return action(body);
    };

    if (route == Routes::kStores || route == Routes::kStoreTypes ||
        route == Routes::kStoreDepartments || route == Routes::kStoreRegions) {
        if (!get) return methodNotAllowed();
        std::unique_lock lock(mutex_);
        boost::json::array items;
        if (route == Routes::kStores) {
            for (const auto& store : stores_) items.push_back(storeJson(store));
        } else {
            items = namedList(route == Routes::kStoreTypes         ? &Store::type
                              : route == Routes::kStoreDepartments ? &Store::department
                                                                   : &Store::region);
        }
        lock.unlock();
        return list(exchange, std::move(items));
    }
    if (route == Routes::kDeviceModels) {
        if (method == "POST") return withBody([this](auto& body) { return createModel(body); });
        if (!get) return methodNotAllowed();
        std::unique_lock lock(mutex_);
        boost::json::array items;
        for (const auto& [id, name] : models_) {
            items.push_back(boost::json::object{{"id", id}, {"name", name}});
        }
        lock.unlock();
        return list(exchange, std::move(items));
    }
    if (route == Routes::kDevicesData) {
        if (method != "POST") return methodNotAllowed();
        return withBody([this](auto& body) { return attributeList(body); });
    }
    if (route == Routes::kDevices) {
        if (method == "POST") return withBody([this](auto& body) { return createDevice(body); });
        if (!get) return methodNotAllowed();
        std::unique_lock lock(mutex_);
        boost::json::array items;
        for (const auto& device : devices_) items.push_back(deviceJson(device));
        lock.unlock();
        return list(exchange, std::move(items));
    }
    if (route == Routes::kDevice) {
        if (method == "PATCH") {
            return withBody([&](auto& body) { return updateDevice(match.deviceId, body); });
        }
        std::lock_guard lock(mutex_);
        Device* device = findDevice(match.deviceId);
        if (method != "GET" && method != "DELETE") return methodNotAllowed();
        if (!device) return deviceNotFound(match.deviceId);
        if (get) return jsonReply(200, deviceJson(*device));
        devices_.erase(devices_.begin() + (device - devices_.data()));
        attributes_.erase(match.deviceId);
        return jsonReply(200, boost::json::object{});
    }
    if (route == Routes::kAttributes && get) {
        std::lock_guard lock(mutex_);
        const auto found = attributes_.find(match.deviceId);
        if (!findDevice(match.deviceId) && found == attributes_.end()) {
            return deviceNotFound(match.deviceId);
        }
        return jsonReply(
            200, boost::json::object{
                     {"data", found == attributes_.end() ? boost::json::array() : found->second}});
    }
    return methodNotAllowed();
}

}  // namespace korvane::MonitoringSim
