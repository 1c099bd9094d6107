#pragma once
// Keeps systemd informed when the Agent runs as a Type=notify service: READY=1 once the local
// API answers, STATUS= lines with the camera connection and the unsent queues, WATCHDOG=1 at
// half of WATCHDOG_USEC while a loopback self-check passes, and STOPPING=1 when shutdown
// begins. Without NOTIFY_SOCKET in the environment it does nothing at all. The self-check is a
// GET /api/agent/get_info, which also reads the queue counts under the database mutex: a
// database held for a whole watchdog period counts as hung as well. A failed check is tried
// again about every second, so that one slow answer does not cost a working Agent its ping;
// the check connects from a port it announces to the local API's client share, which keeps
// workers for it that no outside client can take. Owned by the process entry; construct,
// start() and stop() from one thread; the checks run on a thread of its own.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace korvane::Engine::Service {

class SystemdNotifier {
  public:
    // Where the self-check asks the local API; the address the Server listens on and its port.
    struct SelfCheckTarget {
        std::string address;
        std::uint16_t port = 0;
    };
    // Whether the camera module answered its last exchange; called on the notifier's thread.
    using CameraConnected = std::function<bool()>;

    // How long the local API may take to answer the self-check before a ping is withheld.
    static constexpr std::chrono::seconds kSelfCheckTimeout{3};

    // notice: a standing problem to show at the end of every status line (empty: none).
    SystemdNotifier(SelfCheckTarget target, CameraConnected cameraConnected, std::string notice);
    ~SystemdNotifier();
    SystemdNotifier(const SystemdNotifier&) = delete;
    SystemdNotifier& operator=(const SystemdNotifier&) = delete;

    // Whether systemd waits for notifications (NOTIFY_SOCKET is set).
    static bool requested();

    // Starts the checking thread when requested(); otherwise does nothing.
    void start();
    // When requested(): sends STOPPING=1 and ends the checking thread. Idempotent.
    void stop();

  private:
    // The unsent queue counts when the local API answered in time.
    struct QueueCounts {
        int recognitions = 0;
        int alerts = 0;
    };

    void run();
    std::optional<QueueCounts> selfCheck() const;
    std::string statusLine(const QueueCounts& counts) const;
    std::string noticeSuffix() const;
    void notifyUnlessStopping(const std::string& assignments);
    // Waits until the deadline or stop(); true when stop() was called.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);

    const SelfCheckTarget target_;
    const CameraConnected cameraConnected_;
    const std::string notice_;
    // Half of WATCHDOG_USEC, or nullopt when systemd runs no watchdog for the Agent.
    const std::optional<std::chrono::microseconds> pingInterval_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
};

}  // namespace korvane::Engine::Service
