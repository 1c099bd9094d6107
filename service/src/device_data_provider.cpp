#include "device_data_provider.h"

#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include "agent_utils.h"
#include "build_constants.h"
#include "pellix_driver.h"

namespace korvane::Engine::Sync {

namespace json = boost::json;

namespace {

void addAttribute(json::array& attributes, const char* key, json::value value) {
    attributes.push_back(json::object{{"key", key}, {"value", std::move(value)}});
}

void addDeviceAttributes(json::array& attributes, const Utils::Models::GetDeviceInfoRes& info) {
    addAttribute(attributes, "app", json::string(info.app));
    addAttribute(attributes, "engine", json::string(info.engine));
    addAttribute(attributes, "firmware", json::string(info.firmware));
    addAttribute(attributes, "item_count", info.item_count);
    addAttribute(attributes, "learnMode", info.learnMode);
    addAttribute(attributes, "masterIP", json::string(info.masterIP));
    addAttribute(attributes, "masterSN", json::string(info.masterSN));
    addAttribute(attributes, "soldOutLimit", info.soldOutLimit);
    addAttribute(attributes, "max_result_num", info.max_result_num);
    addAttribute(attributes, "predict_speed", json::string(info.predict_speed));
    addAttribute(attributes, "sn", json::string(info.sn));
    addAttribute(attributes, "sync", json::string(info.sync));
    addAttribute(attributes, "sync_mode", json::string(info.sync_mode));
    addAttribute(attributes, "sync_limit", info.sync_limit);
    addAttribute(attributes, "upload", info.upload);
    addAttribute(attributes, "download", info.download);
    addAttribute(attributes, "mastersyncPort", json::string(info.mastersyncPort));
}

void addAgentAttributes(json::array& attributes) {
    namespace Build = Utils::BuildConstants;
    addAttribute(attributes, "Ip", json::string(Utils::getLocalIP()));
    addAttribute(attributes, "Port", json::string(Build::pellix_agent_port));
    addAttribute(attributes, "ServiceVersion", json::string(Build::pellix_agent_version));
    addAttribute(attributes, "ServiceBuildDate",
                 json::string(Utils::utc_format(Build::pellix_agent_build_date, false)));
    addAttribute(attributes, "Manufacturer", "Korvane");
    addAttribute(attributes, "OS", json::string(Build::pellix_agent_os_type));
}

}  // namespace

DeviceDataProvider::DeviceDataProvider(std::shared_ptr<Driver::PellixDriver> driver)
    : driver_(driver) {}

json::array DeviceDataProvider::get_attributes() {
    attributesComplete_ = false;
    // A resend asked for while this pass reads the camera must survive this pass's confirmation.
    updatesSeen_ = updates_.load();
    json::array attributes;
    const auto driver = driver_.lock();
    if (!driver) {
        return attributes;
    }

    const auto [deviceCode, device] = driver->get_device_info(false);
    if (deviceCode == 0) {
        addDeviceAttributes(attributes, device);
        std::string board = device.board;
        const auto [extraCode, extra] = driver->get_extra_info();
        if (extraCode == 0) {
            addAttribute(attributes, "store_name", json::string(extra.store_name.value_or("")));
            addAttribute(attributes, "store_id", json::string(extra.store_id.value_or("")));
            addAttribute(attributes, "store_dep", json::string(extra.store_dep.value_or("")));
            const auto [boardCode, boardInfo] = driver->get_board_info();
            if (boardCode == 0) {
                if (board.empty()) {
                    board = boardInfo.board;
                }
                addAttribute(attributes, "clientID", json::string(boardInfo.clientID));
                attributesComplete_ = true;
            }
        }
        if (!board.empty()) {
            addAttribute(attributes, "board", json::string(board));
        }
    }

    if (!agentInfoSent_) {
        addAgentAttributes(attributes);
    }
    return attributes;
}

json::array DeviceDataProvider::get_telemetries() {
    return {};
}

std::string DeviceDataProvider::get_serial_number() {
    const auto driver = driver_.lock();
    if (!driver) {
        return {};
    }
    auto [code, info] = driver->get_device_info(false);
    return code == 0 ? std::move(info.sn) : std::string();
}

std::pair<int, std::vector<Utils::Models::GetItemRes>> DeviceDataProvider::get_product_templates() {
    const auto driver = driver_.lock();
    if (!driver || driver->get_device_info(false).first != 0) {
        return {-1, {}};
    }
    return driver->get_item_list(false);
}

bool DeviceDataProvider::need_sending_attributes() const {
    return !attributesSent_;
}

void DeviceDataProvider::attributes_update() {
    ++updates_;
    attributesSent_ = false;
}

void DeviceDataProvider::attributes_send() {
    agentInfoSent_ = true;
    if (attributesComplete_ && updates_ == updatesSeen_) {
        attributesSent_ = true;
    }
}

bool DeviceDataProvider::need_sending_telemetries() const {
    return !telemetriesSent_;
}

void DeviceDataProvider::telemetries_update() {
    telemetriesSent_ = false;
}

void DeviceDataProvider::telemetries_send() {
    telemetriesSent_ = true;
}

void DeviceDataProvider::set_alarm(const std::string& code, const std::string& description) {
    std::lock_guard<std::mutex> lock(alarmsMutex_);
    alarms_.push_back({code, description});
}

bool DeviceDataProvider::need_sending_alarms() const {
    std::lock_guard<std::mutex> lock(alarmsMutex_);
    return !alarms_.empty();
}

json::value DeviceDataProvider::get_alarm() const {
    std::lock_guard<std::mutex> lock(alarmsMutex_);
    if (alarms_.empty()) {
        return nullptr;
    }
    const auto& alarm = alarms_.front();
    return json::object{{"code", alarm.code}, {"description", alarm.description}};
}

void DeviceDataProvider::alarm_send() {
    std::lock_guard<std::mutex> lock(alarmsMutex_);
    if (!alarms_.empty()) {
        alarms_.pop_front();
    }
}

}  // namespace korvane::Engine::Sync
