#pragma once
// Turns what the camera reports about itself into the device attributes the monitoring loop
// sends, and keeps the send-again flags and the queue of alarms waiting for the service. The
// Server creates one per camera driver and the monitoring client holds it weakly. Any thread may
// call the flag setters (request threads and task handlers ask for a resend); the attribute,
// telemetry and alarm calls are made by the monitoring loop, though each is safe from any thread.

#include <atomic>
#include <boost/json/array.hpp>
#include <boost/json/value.hpp>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "models_items.h"

namespace korvane::Engine::Driver {
class PellixDriver;
}

namespace korvane::Engine::Sync {

struct alarm_data {
    std::string code;
    std::string description;
};

class DeviceDataProvider {
  public:
    // Keeps only a weak reference: the provider never keeps a replaced driver alive.
    explicit DeviceDataProvider(std::shared_ptr<Driver::PellixDriver> driver);
    DeviceDataProvider(const DeviceDataProvider&) = delete;
    DeviceDataProvider& operator=(const DeviceDataProvider&) = delete;

    // Objects {"key", "value"}: the camera's identity, settings, store and board as far as the
    // camera answers, followed by the Agent's own attributes until attributes_send() confirmed
    // their delivery once. Empty when the driver is gone.
    boost::json::array get_attributes();
    // Always empty: the loop's ping is the only telemetry.
    boost::json::array get_telemetries();
    // The camera's serial number, or "" when it cannot be read or the driver is gone.
    std::string get_serial_number();
    // The camera's product list as the driver reads it; code -1 and no items when the driver is
    // gone or the camera does not answer its device information.
    std::pair<int, std::vector<Utils::Models::GetItemRes>> get_product_templates();

    bool need_sending_attributes() const;
    // Asks for the attributes to be sent again on the next data pass.
    void attributes_update();
    // The service accepted the last get_attributes() result. Attributes count as up to date only
    // when that result carried the camera's full set.
    void attributes_send();

    bool need_sending_telemetries() const;
    void telemetries_update();
    void telemetries_send();

    // Queues an alarm behind the waiting ones; equal alarms are kept apart.
    void set_alarm(const std::string& code, const std::string& description);
    bool need_sending_alarms() const;
    // The oldest waiting alarm as {"code", "description"}; it stays queued. Null when none waits.
    boost::json::value get_alarm() const;
    // Drops the oldest alarm once it was delivered; nothing when none waits.
    void alarm_send();

  private:
    std::atomic<bool> attributesComplete_{false};
    std::atomic<bool> agentInfoSent_{false};
    std::atomic<bool> attributesSent_{false};
    std::atomic<bool> telemetriesSent_{true};
    // Counts attributes_update() calls; attributes_send() confirms only a pass that began after
    // the latest one, so a resend asked for during a pass is not lost.
    std::atomic<unsigned> updates_{0};
    std::atomic<unsigned> updatesSeen_{0};
    const std::weak_ptr<Driver::PellixDriver> driver_;
    mutable std::mutex alarmsMutex_;
    std::deque<alarm_data> alarms_;  // guarded by alarmsMutex_, oldest first
};

}  // namespace korvane::Engine::Sync
