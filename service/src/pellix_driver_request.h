#pragma once
// What one camera operation tells the driver's shared calling pattern: the command's name,
// path, method, body or file upload, timeout and called line. Private to the driver's own
// source files (pellix_driver*.cpp); a plain value built and used on the calling thread.

#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pellix_driver.h"
#include "rest_client.h"

namespace korvane::Engine::Driver {

struct PellixDriver::Request {
    // Multipart POST of a file, sent instead of a JSON body.
    struct Upload {
        std::string field;
        std::string fileName;
        const std::vector<std::uint8_t>* bytes = nullptr;  // owned by the caller
        const Utils::FileSlice* stored = nullptr;          // when set, sent instead of bytes
        REST::NameValues fields;
    };

    // Names the operation in its log lines and in the connection-loss alert.
    std::string name;
    std::string path;
    bool post = true;  // false: GET without a body
    // A POST without fields sends the JSON literal null.
    boost::json::value body;
    std::optional<Upload> upload;
    std::chrono::milliseconds timeout{0};
    // Logged at info before sending; empty: "<name>() called;".
    std::string calledLine;
};

}  // namespace korvane::Engine::Driver
