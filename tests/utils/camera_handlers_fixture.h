#pragma once
// Set-up of the camera command handler tests: the driver fixture's simulator and database,
// with the driver held the way the local API holds it (shared). Used on the test's thread.

#include <Poco/JSON/Object.h>

#include <memory>
#include <set>
#include <string>

#include "../service/camera_driver_fixture.h"
#include "camera_handlers.h"
#include "responses.h"

namespace korvane::Testing {

class CameraHandlersTest : public CameraDriverTest {
  protected:
    using Keys = std::set<std::string>;

    Utils::CameraDriverPtr camera_ = driverFor(sim_->port());

    static Poco::JSON::Object::Ptr json(const std::string& text) {
        return Utils::parseJsonObject(text);
    }
    static Keys keys(const Poco::JSON::Object::Ptr& object) {
        const auto names = object->getNames();
        return {names.begin(), names.end()};
    }
};

}  // namespace korvane::Testing
