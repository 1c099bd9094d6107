#include "transfer_jobs.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <fstream>

#include "evo_archive.h"
#include "multipart_form.h"

namespace korvane::CameraSim {
namespace {

constexpr std::size_t kKeptArchives = 8;

// Status numbers and texts as the camera reports them for each kind of job.
struct JobTexts {
    JobStage idle;
    std::vector<JobStage> stages;
    JobStage done;
};

const JobTexts& textsFor(JobKind kind) {
    static const JobTexts exportTexts{
        {0, "no export task"}, {{1, "in progress"}, {1, "in progress"}}, {3, "completed"}};
    static const JobTexts importTexts{{0, "no import task"},
                                      {{2, "importing"}, {3, "verifying package integrity"}},
                                      {4, "completed"}};
    static const JobTexts upgradeTexts{{0, "no upgrade task"},
                                       {{1, "transferring"}, {2, "upgrading"}, {3, "verifying"}},
                                       {4, "completed"}};
    switch (kind) {
        case JobKind::Export:
            return exportTexts;
        case JobKind::Import:
            return importTexts;
        case JobKind::Upgrade:
        case JobKind::Restore:
            return upgradeTexts;
    }
    return upgradeTexts;
}

std::string failureText(JobKind kind, int status) {
    switch (kind) {
        case JobKind::Export:
            return status == 6 ? "fail to generate" : "unknown";
        case JobKind::Import:
            return status == 5 ? "fail to import" : status == 7 ? "fail to verify" : "unknown";
        case JobKind::Upgrade:
        case JobKind::Restore:
            break;
    }
    switch (status) {
        case 5:
            return "fail to upgrade";
        case 6:
            return "fail to transfer";
        case 7:
            return "fail to verify";
        default:
            return "unknown";
    }
}

// Starts a job of `kind`, replacing an earlier one. It fails with `failStatus` when given, or
// with the failure a test scheduled through the control API.
Job& beginJob(DeviceData& d, JobKind kind, std::optional<int> failStatus) {
    const JobTexts& texts = textsFor(kind);
    Job job;
    job.start = std::chrono::steady_clock::now();
    job.stages = texts.stages;
    job.final = texts.done;
    if (auto scheduled = d.sim.failNext.find(kind); scheduled != d.sim.failNext.end()) {
        failStatus = scheduled->second;
        d.sim.failNext.erase(scheduled);
    }
    if (failStatus) {
        job.final = {*failStatus, failureText(kind, *failStatus)};
        job.succeeds = false;
    }
    Job& slot = d.jobs[kind];
    slot = std::move(job);
    return slot;
}

// The templates inside an uploaded file: one ".evo" file or a ".evom" archive of them. Files
// in a format the simulator does not know are accepted and carry nothing.
std::vector<EvoTemplates> templatesIn(const std::string& bytes) {
    std::vector<EvoTemplates> found;
    if (looksLikeZip(bytes)) {
        for (const auto& [name, entry] : readEvom(bytes)) {
            if (auto content = readEvo(entry)) found.push_back(*content);
        }
    } else if (auto content = readEvo(bytes)) {
        found.push_back(*content);
    }
    return found;
}

void mergeTemplates(DeviceData& d, const std::vector<EvoTemplates>& contents) {
    for (const auto& content : contents) {
        auto& templates = d.products[content.id].templates;
        for (const auto& id : content.templates) {
            if (static_cast<int>(templates.size()) >= d.maxTemplates) break;
            if (std::find(templates.begin(), templates.end(), id) == templates.end()) {
                templates.push_back(id);
            }
        }
    }
}

// "F1.9.6" becomes "F1.9.7".
std::string nextVersion(const std::string& version) {
    const auto dot = version.find_last_of('.');
    const std::string head = dot == std::string::npos ? version + "." : version.substr(0, dot + 1);
    const std::string tail = dot == std::string::npos ? "0" : version.substr(dot + 1);
    int number = 0;
    for (char c : tail) {
        if (c < '0' || c > '9') return version + ".1";
        number = number * 10 + (c - '0');
    }
    return head + std::to_string(number + 1);
}

void keepArchive(DeviceData& d, const std::string& name, const std::string& bytes,
                 const std::string& exportDir) {
    d.archives[name] = bytes;
    // Names begin with the time they were made, so the first is the oldest.
    while (d.archives.size() > kKeptArchives) d.archives.erase(d.archives.begin());
    if (exportDir.empty()) return;
    Poco::File(exportDir).createDirectories();
    std::ofstream out(Poco::Path(exportDir, name).toString(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TransferJobs::TransferJobs(CameraState& state, std::string exportDir)
    : state_(state), exportDir_(std::move(exportDir)) {}

void TransferJobs::registerInto(CommandTable& table) {
    using J = TransferJobs;
    addCommand(table, "export_template", Verb::Post, this, &J::exportTemplate);
    addCommand(table, "export_template_status", Verb::Any, this, &J::exportTemplateStatus);
    addCommand(table, "import_template", Verb::Post, this, &J::importTemplate);
    addCommand(table, "import_template_status", Verb::Any, this, &J::importTemplateStatus);
    addCommand(table, "offline_upgrade", Verb::Post, this, &J::offlineUpgrade);
    addCommand(table, "offline_upgrade_status", Verb::Any, this, &J::offlineUpgradeStatus);
    addCommand(table, "start_restore", Verb::Post, this, &J::startRestore);
    addCommand(table, "get_restore_status", Verb::Any, this, &J::getRestoreStatus);
}

SimReply TransferJobs::exportTemplate(const SimRequest& request) {
    const std::vector<std::string> ids = needStringArray(bodyObject(request), "ids");
    return state_.with([&](DeviceData& d) {
        ArchiveEntries entries;
        for (const auto& [id, product] : d.products) {
            const bool wanted = ids.empty() || std::find(ids.begin(), ids.end(), id) != ids.end();
            if (wanted && !product.templates.empty()) {
                entries.emplace_back(id + ".evo", makeEvo({id, product.templates}));
            }
        }
        // Nothing to put in the archive: the job runs and then fails to generate it.
        Job& job =
            beginJob(d, JobKind::Export, entries.empty() ? std::optional<int>(6) : std::nullopt);
        job.filename = "templates_" +
                       Poco::DateTimeFormatter::format(Poco::Timestamp(), "%Y%m%d%H%M%S") + "_" +
                       std::to_string(++d.serial) + ".evom";
        if (!entries.empty()) {
            std::string archive = makeEvom(entries);
            job.bytes = archive.size();
            job.onComplete = [name = job.filename, archive = std::move(archive), dir = exportDir_](
                                 DeviceData& data) { keepArchive(data, name, archive, dir); };
        }
        return okReply();
    });
}

SimReply TransferJobs::startUpload(const SimRequest& request, JobKind kind) {
    const std::vector<FormPart> parts = parseMultipart(request.contentType, request.body);
    auto file = std::find_if(parts.begin(), parts.end(), [](const FormPart& part) {
        return !part.filename.empty() || part.name == "file";
    });
    if (file == parts.end()) throw CommandError(kFileDoesNotExist, "File does not exist");

    std::optional<int> failure;
    std::vector<EvoTemplates> contents;
    if (file->data.empty()) {
        failure = 7;
    } else if (kind != JobKind::Upgrade) {
        try {
            contents = templatesIn(file->data);
        } catch (const Poco::Exception&) {
            failure = 7;  // a damaged archive does not pass verification
        }
    }
    return state_.with([&](DeviceData& d) {
        Job& job = beginJob(d, kind, failure);
        job.bytes = file->data.size() + request.droppedBytes;
        for (const auto& part : parts) {
            if (&part != &*file && part.filename.empty())
                job.params.emplace_back(part.name, part.data);
        }
        if (kind == JobKind::Upgrade) {
            job.onComplete = [](DeviceData& data) { data.firmware = nextVersion(data.firmware); };
        } else if (kind == JobKind::Restore) {
            job.onComplete = [contents](DeviceData& data) {
                if (contents.empty()) return;
                data.products.clear();
                mergeTemplates(data, contents);
            };
        } else {
            job.onComplete = [contents](DeviceData& data) { mergeTemplates(data, contents); };
        }
        return okReply();
    });
}

SimReply TransferJobs::jobStatus(JobKind kind, bool withFilename) {
    return state_.with([&](DeviceData& d) {
        Poco::JSON::Object::Ptr reply = newObject();
        reply->set("code", 0);
        auto found = d.jobs.find(kind);
        if (found == d.jobs.end()) {
            const JobStage& idle = textsFor(kind).idle;
            reply->set("msg", idle.msg);
            if (withFilename) reply->set("filename", "");
            reply->set("status", idle.status);
            return jsonReply(200, reply);
        }
        const Job& job = found->second;
        const JobStage& stage = CameraState::currentStage(job, d.sim.jobStepMs);
        reply->set("msg", stage.msg);
        if (withFilename) reply->set("filename", job.settled && job.succeeds ? job.filename : "");
        reply->set("status", stage.status);
        return jsonReply(200, reply);
    });
}

SimReply TransferJobs::download(const std::string& name) {
    return state_.with([&name](DeviceData& d) {
        auto found = d.archives.find(name);
        if (found == d.archives.end()) {
            SimReply reply = errorReply(kFileDoesNotExist, "File does not exist");
            reply.status = 404;
            return reply;
        }
        SimReply reply = bytesReply(found->second, "application/octet-stream");
        reply.headers["Content-Disposition"] = "attachment; filename=\"" + name + "\"";
        return reply;
    });
}

SimReply TransferJobs::exportTemplateStatus(const SimRequest&) {
    return jobStatus(JobKind::Export, true);
}
SimReply TransferJobs::importTemplate(const SimRequest& request) {
    return startUpload(request, JobKind::Import);
}
SimReply TransferJobs::importTemplateStatus(const SimRequest&) {
    return jobStatus(JobKind::Import, false);
}
SimReply TransferJobs::offlineUpgrade(const SimRequest& request) {
    return startUpload(request, JobKind::Upgrade);
}
SimReply TransferJobs::offlineUpgradeStatus(const SimRequest&) {
    return jobStatus(JobKind::Upgrade, false);
}
SimReply TransferJobs::startRestore(const SimRequest& request) {
    return startUpload(request, JobKind::Restore);
}
SimReply TransferJobs::getRestoreStatus(const SimRequest&) {
    return jobStatus(JobKind::Restore, false);
}

}  // namespace korvane::CameraSim
