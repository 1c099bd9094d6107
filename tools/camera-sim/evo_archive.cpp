#include "evo_archive.h"

#include <Poco/DateTime.h>
#include <Poco/Path.h>
#include <Poco/StreamCopier.h>
#include <Poco/Zip/Compress.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipStream.h>

#include <sstream>

namespace korvane::CameraSim {
namespace {

constexpr const char* kMagic = "PXEVO1\n";

// Stand-in feature vector of a template: deterministic per template id, so an exported file
// always has the same content.
std::string featureHex(const std::string& templateId) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::uint32_t hash = 2166136261u;
    std::string hex;
    for (int i = 0; i < 64; ++i) {
        for (char c : templateId) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        hash = (hash ^ static_cast<std::uint32_t>(i)) * 16777619u;
        hex += kDigits[hash & 0xF];
        hex += kDigits[(hash >> 4) & 0xF];
    }
    return hex;
}

}  // namespace

std::string makeEvo(const EvoTemplates& content) {
    std::string out = kMagic;
    out += "id=" + content.id + "\n";
    for (const auto& templateId : content.templates) {
        out += "template=" + templateId + ";features=" + featureHex(templateId) + "\n";
    }
    return out;
}

std::optional<EvoTemplates> readEvo(const std::string& bytes) {
    if (bytes.rfind(kMagic, 0) != 0) return std::nullopt;
    std::istringstream in(bytes.substr(std::string(kMagic).size()));
    EvoTemplates content;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("id=", 0) == 0) {
            content.id = line.substr(3);
        } else if (line.rfind("template=", 0) == 0) {
            content.templates.push_back(line.substr(9, line.find(';') - 9));
        }
    }
    if (content.id.empty()) return std::nullopt;
    return content;
}

bool looksLikeZip(const std::string& bytes) {
    return bytes.rfind("PK\x03\x04", 0) == 0;
}

std::string makeEvom(const ArchiveEntries& entries) {
    std::ostringstream out;
    Poco::Zip::Compress zip(out, true);
    const Poco::DateTime now;
    for (const auto& [name, bytes] : entries) {
        std::istringstream in(bytes);
        zip.addFile(in, now, Poco::Path(name), Poco::Zip::ZipCommon::CM_DEFLATE,
                    Poco::Zip::ZipCommon::CL_NORMAL);
    }
    zip.close();
    return out.str();
}

ArchiveEntries readEvom(const std::string& bytes) {
    std::istringstream in(bytes);
    const Poco::Zip::ZipArchive archive(in);
    ArchiveEntries entries;
    for (auto it = archive.headerBegin(); it != archive.headerEnd(); ++it) {
        if (it->second.isDirectory()) continue;
        in.clear();
        Poco::Zip::ZipInputStream entry(in, it->second, true);
        std::string data;
        Poco::StreamCopier::copyToString(entry, data);
        entries.emplace_back(it->first, std::move(data));
    }
    return entries;
}

}  // namespace korvane::CameraSim
