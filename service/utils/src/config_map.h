#pragma once
// The in-memory configuration: key to typed value (string, int, double or bool; encrypted
// rows held decrypted). Owned by the Server and guarded by its database mutex.

#include <Poco/Dynamic/Var.h>

#include <string>
#include <unordered_map>

namespace korvane::Utils {

using ConfigMap = std::unordered_map<std::string, Poco::Dynamic::Var>;

}  // namespace korvane::Utils
