#include "systemd_notifier.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <sstream>

#include "client_share.h"
#include "logger.h"
#include "service_clock.h"

namespace korvane::Engine::Service {

namespace {

// Until the local API first answers, readiness is looked for this often.
constexpr std::chrono::milliseconds kReadinessPoll{100};
// Without a watchdog the status line is still refreshed this often.
constexpr std::chrono::seconds kStatusRefresh{10};
// A failed check is tried again this soon, until one passes or systemd gives up on the Agent.
constexpr std::chrono::seconds kRetryAfterFailure{1};

// Announces the local port of the self-check's connection to the client share while it lives.
class AnnouncedPort {
  public:
    explicit AnnouncedPort(std::uint16_t port) : port_(port) {
        LocalApi::ClientShare::addSelfCheckPort(port_);
    }
    ~AnnouncedPort() { LocalApi::ClientShare::removeSelfCheckPort(port_); }
    AnnouncedPort(const AnnouncedPort&) = delete;
    AnnouncedPort& operator=(const AnnouncedPort&) = delete;

  private:
    const std::uint16_t port_;
};

std::optional<std::chrono::microseconds> watchdogPingInterval() {
    std::uint64_t usec = 0;
    // sd_watchdog_enabled also checks that WATCHDOG_PID, when given, names this process.
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec / 2);
}

void notify(const std::string& assignments) {
    const int result = sd_notify(0, assignments.c_str());
    if (result < 0) Log()->warn("systemd notification failed: error {};", -result);
}

}  // namespace

SystemdNotifier::SystemdNotifier(SelfCheckTarget target, CameraConnected cameraConnected,
                                 std::string notice)
    : target_(std::move(target)),
      cameraConnected_(std::move(cameraConnected)),
      notice_(std::move(notice)),
      pingInterval_(watchdogPingInterval()) {}

SystemdNotifier::~SystemdNotifier() {
    stop();
}

bool SystemdNotifier::requested() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void SystemdNotifier::start() {
    if (!requested() || thread_.joinable()) return;
    if (pingInterval_) {
        Log()->info("systemd watchdog: a ping every {} ms while the local API answers;",
                    std::chrono::duration_cast<std::chrono::milliseconds>(*pingInterval_).count());
    }
    thread_ = std::thread([this] { run(); });
}

void SystemdNotifier::stop() {
    if (!requested()) return;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        // Sent before the join, which may wait out a self-check in progress.
        notify("STOPPING=1\nSTATUS=Shutting down");
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SystemdNotifier::run() {
    // Named for operators' thread views, and so that a test can freeze every other thread.
    pthread_setname_np(pthread_self(), "self-check");
    bool ready = false;
    bool failing = false;
    auto next = std::chrono::steady_clock::now();
    do {
        if (auto counts = selfCheck()) {
            std::string message = ready ? "" : "READY=1\n";
            if (pingInterval_) message += "WATCHDOG=1\n";
            notifyUnlessStopping(message + "STATUS=" + statusLine(*counts));
            if (!ready || failing) Log()->info("Self-check passed: the local API answers;");
            ready = true;
            failing = false;
        } else if (ready && !failing) {
            // Withholding the ping is the point: a server that stays silent gets restarted.
            // Told before it is logged: a hung Agent may hang its log too.
            notifyUnlessStopping("STATUS=The local API does not answer" + noticeSuffix());
            Log()->warn("Self-check failed: the local API did not answer within {} s;",
                        kSelfCheckTimeout.count());
            failing = true;
        }
        using Duration = std::chrono::steady_clock::duration;
        const Duration interval = !ready    ? Duration(kReadinessPoll)
                                  : failing ? Duration(kRetryAfterFailure)
                                            : Duration(pingInterval_.value_or(kStatusRefresh));
        // Fixed steps keep the pings on their rate however long a check took.
        next = std::max(next + interval, std::chrono::steady_clock::now());
    } while (!waitUntil(next));
}

std::optional<SystemdNotifier::QueueCounts> SystemdNotifier::selfCheck() const {
    try {
        const Poco::Timespan timeout(kSelfCheckTimeout.count(), 0);
        const Poco::Net::SocketAddress target(target_.address, target_.port);
        // Bound before it connects, so that the port is announced before the server sees it.
        Poco::Net::StreamSocket socket(target.family());
        socket.impl()->bind(Poco::Net::SocketAddress(target.family()), false);
        const AnnouncedPort announced(socket.address().port());
        socket.connect(target, timeout);
        // The session applies its own timeouts only to connections it makes itself.
        socket.setSendTimeout(timeout);
        socket.setReceiveTimeout(timeout);
        Poco::Net::HTTPClientSession session(socket);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/api/agent/get_info",
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& body = session.receiveResponse(response);
        std::string text;
        Poco::StreamCopier::copyToString(body, text);
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) return std::nullopt;
        const auto data =
            Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>()->getObject("data");
        if (!data) return std::nullopt;
        return QueueCounts{data->getValue<int>("non_send_recognition_count"),
                           data->getValue<int>("non_send_alert_count")};
    } catch (const std::exception&) {
        // Poco's exceptions derive from std::exception; any of them means no answer in time.
        return std::nullopt;
    }
}

std::string SystemdNotifier::statusLine(const QueueCounts& counts) const {
    std::ostringstream line;
    line << "Serving on port " << target_.port << "; camera "
         << (cameraConnected_() ? "connected" : "not connected") << "; " << counts.recognitions
         << " recognitions and " << counts.alerts << " alerts waiting to be sent";
    const auto offset = Sync::ServiceClock::instance().offset();
    if (std::chrono::abs(offset) > Sync::ServiceClock::kNoticeableOffset) {
        line << "; clock differs from the monitoring service by " << offset.count() << " s";
    }
    line << noticeSuffix();
    return line.str();
}

std::string SystemdNotifier::noticeSuffix() const {
    return notice_.empty() ? "" : "; " + notice_;
}

void SystemdNotifier::notifyUnlessStopping(const std::string& assignments) {
    // Under the lock, so that nothing follows the STOPPING=1 that stop() sends.
    std::lock_guard lock(mutex_);
    if (!stopping_) notify(assignments);
}

bool SystemdNotifier::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return wake_.wait_until(lock, deadline, [this] { return stopping_; });
}

}  // namespace korvane::Engine::Service
