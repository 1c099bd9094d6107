#include "template_archive.h"

#include <Poco/MemoryStream.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipException.h>
#include <Poco/Zip/ZipStream.h>

#include <iterator>
#include <stdexcept>

namespace korvane::Utils {
namespace {

// The end-of-central-directory record closes every ZIP archive, followed only by a comment of at
// most 65535 bytes. The reader itself accepts any bytes without one as an archive with no
// entries, which would turn a truncated download or a file of another kind into an empty set of
// templates instead of an error.
bool hasEndOfCentralDirectory(std::string_view archive) {
    constexpr std::string_view kSignature("PK\x05\x06", 4);
    constexpr std::size_t kRecordSize = 22;
    constexpr std::size_t kMaxComment = 65535;
    if (archive.size() < kRecordSize) return false;
    const std::size_t from =
        archive.size() > kRecordSize + kMaxComment ? archive.size() - kRecordSize - kMaxComment : 0;
    return archive.substr(from).rfind(kSignature) != std::string_view::npos;
}

}  // namespace

std::vector<ArchiveFile> decompressEVOM(std::string_view archive) {
    if (!hasEndOfCentralDirectory(archive)) {
        throw Poco::Zip::ZipException("Not a ZIP archive: end of central directory not found");
    }
    Poco::MemoryInputStream in(archive.data(), archive.size());
    const Poco::Zip::ZipArchive zip(in);

    std::vector<ArchiveFile> files;
    // The central directory is the archive's authoritative list of entries; the local headers
    // alone may carry zero sizes when the writer streamed the data.
    for (auto info = zip.fileInfoBegin(); info != zip.fileInfoEnd(); ++info) {
        const std::string& name = info->first;
        if (name.empty() || name.back() == '/' || info->second.getUncompressedSize() == 0) {
            continue;
        }
        const auto header = zip.findHeader(name);
        if (header == zip.headerEnd()) {
            throw Poco::Zip::ZipException("No local file header for " + name);
        }
        // Parsing leaves the stream in a failed state; reading the entry seeks back to it.
        in.clear();
        Poco::Zip::ZipInputStream entry(in, header->second, true);
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(info->second.getUncompressedSize()));
        char buffer[8192];
        while (entry.read(buffer, sizeof buffer) || entry.gcount() > 0) {
            bytes.insert(bytes.end(), buffer, buffer + entry.gcount());
        }
        if (!entry.crcValid()) throw std::runtime_error("CRC failed for " + name);
        files.emplace_back(name, std::move(bytes));
    }
    return files;
}

}  // namespace korvane::Utils
