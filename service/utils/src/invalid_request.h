#pragma once
// Thrown when input from a client cannot be used: a body that is not the JSON object required,
// a missing member, or a member of the wrong type. The local API answers it with HTTP 400 and
// {"code":-6200,"data":null}; other callers report its message.

#include <stdexcept>
#include <string>

namespace korvane::Utils {

class InvalidRequest : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvane::Utils
