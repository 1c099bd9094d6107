// A stand-in for the scale's AI recognition camera module: an HTTP server that answers the
// camera commands under /api/ and /download/ with believable, stateful data, plus a control API
// under /sim/ through which tests script faults and read back what the camera received.
// One owner (a test or the camera-sim program) starts and stops it from one thread; requests
// are served concurrently on the simulator's own thread pool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvane::CameraSim {

class CameraSimulator {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        std::uint16_t port = 0;  // 0 picks a free port
        std::string stateDir;    // empty: nothing is read or written on disk
        int jobStepMs = 1000;    // how long each stage of an export, import or upgrade lasts
        unsigned seed = 0;       // random seed of the recognition results; 0 picks one
        bool verbose = false;    // one line per request on stderr
    };

    explicit CameraSimulator(Options options);
    ~CameraSimulator();
    CameraSimulator(const CameraSimulator&) = delete;
    CameraSimulator& operator=(const CameraSimulator&) = delete;

    // Binds and starts serving; throws when the address cannot be bound. Loads the state file
    // from the state folder when there is one.
    void start();
    // The port actually bound (the real one when 0 was asked for).
    std::uint16_t port() const;
    const std::string& host() const;
    // Stops serving, waits for running requests and saves the state file. Idempotent.
    void stop();

    struct Impl;  // opaque; public only so that the request handlers can name it

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::CameraSim
