// The simulator's control API under /sim/: the HTTP face of the public C++ interface, for the
// monitoring-sim program and tests in other processes. The device never calls it. Owned by the
// simulator; handle() runs on the serving threads.
#pragma once

#include "exchange.h"
#include "monitoring_simulator.h"

namespace korvane::MonitoringSim {

class ControlRoutes {
  public:
    explicit ControlRoutes(MonitoringSimulator& simulator);

    Reply handle(const Exchange& exchange);

  private:
    MonitoringSimulator& simulator_;
};

}  // namespace korvane::MonitoringSim
