// The picture the simulated camera shows for get_image and for new templates: a small baseline
// JPEG of a fruit on a tray, encoded once and kept as bytes so the simulator needs no image
// library. Immutable; safe from any thread.
#pragma once

#include <string>

namespace korvane::CameraSim {

// The complete JPEG file (starts with FF D8, ends with FF D9).
const std::string& sampleJpeg();

}  // namespace korvane::CameraSim
