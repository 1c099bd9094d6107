#pragma once
// Constants fixed when the Agent is built; every module may read them.

#include <string>

namespace korvane::Utils::BuildConstants {

inline const std::string pellix_agent_version = "1.0.0017";
// Year, month, day, hour, minute, second in UTC.
inline const std::string pellix_agent_build_date = "20260930084507";
inline const std::string pellix_agent_os_type = "GNU/Linux";
inline const std::string pellix_agent_port = "5555";

}  // namespace korvane::Utils::BuildConstants
