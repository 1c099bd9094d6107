#include "camera_state.h"

#include <algorithm>
#include <array>

namespace korvane::CameraSim {
namespace {

std::int64_t millisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace

CameraState::CameraState(int jobStepMs, unsigned seed) : startJobStepMs_(jobStepMs), seed_(seed) {
    reset();
}

void CameraState::reset() {
    std::lock_guard lock(mutex_);
    data_ = DeviceData{};
    data_.sim.jobStepMs = startJobStepMs_;
    data_.rng.seed(seed_);
    seedFactory(data_);
}

void CameraState::seedFactory(DeviceData& data) {
    // A small shop's worth of learnt products, with uneven template counts so that readiness
    // checks see both well-trained and barely-trained goods.
    struct Seed {
        const char* id;
        int templates;
    };
    constexpr std::array<Seed, 8> kSeeds = {{{"10001", 6},
                                             {"10002", 3},
                                             {"10003", 9},
                                             {"10004", 2},
                                             {"10005", 12},
                                             {"10006", 4},
                                             {"10007", 7},
                                             {"10008", 1}}};
    for (const auto& seed : kSeeds) {
        Product& product = data.products[seed.id];
        for (int i = 0; i < seed.templates; ++i) {
            product.templates.push_back(std::string("T") + seed.id + "-" + std::to_string(i + 1));
        }
    }
}

void CameraState::settleJobs(DeviceData& data) {
    const std::int64_t step = std::max(data.sim.jobStepMs, 1);
    for (auto& [kind, job] : data.jobs) {
        if (job.settled) continue;
        if (millisSince(job.start) < step * static_cast<std::int64_t>(job.stages.size())) continue;
        job.settled = true;
        if (job.succeeds && job.onComplete) job.onComplete(data);
        job.onComplete = nullptr;
    }
}

const JobStage& CameraState::currentStage(const Job& job, int stepMs) {
    // Only settleJobs() finishes a job (and produces its file); time that passes between the
    // settling and this reading must not report a finished job whose file does not exist yet.
    if (job.settled || job.stages.empty()) return job.final;
    const std::int64_t index = millisSince(job.start) / std::max(stepMs, 1);
    const auto last = static_cast<std::int64_t>(job.stages.size()) - 1;
    return job.stages[static_cast<std::size_t>(std::min(index, last))];
}

const char* CameraState::jobName(JobKind kind) {
    switch (kind) {
        case JobKind::Export:
            return "export";
        case JobKind::Import:
            return "import";
        case JobKind::Upgrade:
            return "upgrade";
        case JobKind::Restore:
            return "restore";
    }
    return "unknown";
}

std::string nextSerialId(DeviceData& data, const char* prefix) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return prefix + std::to_string(now) + "-" + std::to_string(++data.serial);
}

std::int64_t cameraClockUs(const DeviceData& data) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return now + data.clockOffsetUs;
}

}  // namespace korvane::CameraSim
