#pragma once
// One Server per fuzzing process, built on first use in a throw-away home folder, with its
// camera at a loopback port nobody listens on and monitoring switched off, so that nothing a
// fuzzer sends leaves the machine. Requests reach it in memory through HandleSession, the same
// entry point the HTTP workers use; its listening socket is bound to a port of the kernel's
// choice and never served. Single-threaded use only, as libFuzzer calls its targets.

#include <string>

namespace korvane::Fuzz {

struct Answer {
    int status = 0;
    std::string contentType;
    std::string body;
};

// One request through the Server. A body is sent with its Content-Length; an empty one
// without any.
Answer handle(const std::string& method, const std::string& target, const std::string& body);

// A new empty folder in memory (/dev/shm where there is one), removed when the process ends
// normally; a crashing run leaves it for inspection.
const std::string& throwAwayFolder();

// Aborts with the message when the condition fails, so that libFuzzer keeps the input.
void require(bool condition, const char* message);

// Whether the whole text is one JSON value (object, array or scalar).
bool isJson(const std::string& text);

}  // namespace korvane::Fuzz
