// The service's directory: stores, device models and devices, with the attributes each device
// last reported, and the answers of the directory routes under /api/v1. Owned by the simulator;
// every member may be called from any thread.
#pragma once

#include <boost/json/array.hpp>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "exchange.h"
#include "monitoring_simulator.h"
#include "route_match.h"

namespace korvane::MonitoringSim {

class DeviceDirectory {
  public:
    using Store = MonitoringSimulator::Store;
    using Device = MonitoringSimulator::Device;

    // A few stores in two regions, the recognition module model and two devices.
    void seed();
    void clear();

    std::string addStore(Store store);
    std::string addDevice(Device device);
    std::string addModel(const std::string& name);
    std::vector<Device> devices() const;
    // Keeps the device's attributes, the latest value of each key.
    void mergeAttributes(const std::string& deviceId, const boost::json::array& items);

    // Answers a directory route (every route of Routes before the device-scoped ones, and the
    // GET of kAttributes).
    Reply handle(const Exchange& exchange, const RouteMatch& match);

  private:
    std::string newId(const char* prefix);  // under mutex_
    Reply list(const Exchange& exchange, boost::json::array items) const;
    Reply createDevice(const boost::json::object& body);
    Reply createModel(const boost::json::object& body);
    Reply attributeList(const boost::json::object& body) const;
    Reply updateDevice(const std::string& id, const boost::json::object& body);
    boost::json::array namedList(std::string Store::*field) const;
    Device* findDevice(const std::string& id);

    mutable std::mutex mutex_;
    std::vector<Store> stores_;
    std::vector<std::pair<std::string, std::string>> models_;  // id, name
    std::vector<Device> devices_;
    std::map<std::string, boost::json::array> attributes_;
    std::map<std::string, unsigned> lastIds_;  // per id prefix
};

}  // namespace korvane::MonitoringSim
