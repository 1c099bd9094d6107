#include "template_archive.h"

#include <Poco/MemoryStream.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipException.h>
#include <Poco/Zip/ZipStream.h>

#include <algorithm>
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

// The ZIP reader allocates the ZIP64 end record's extensible data at the size the record
// declares, before reading it: a record of fewer than its 44 fixed bytes or longer than the
// rest of the archive would request up to 2^64 bytes. Any such record makes the archive bad.
bool hasSaneZip64EndRecords(std::string_view archive) {
    constexpr std::string_view kSignature("PK\x06\x06", 4);
    constexpr std::size_t kLeadSize = 12;  // signature and the 8-byte size that follows it
    constexpr std::uint64_t kFixedPart = 44;
    for (std::size_t at = archive.find(kSignature); at != std::string_view::npos;
         at = archive.find(kSignature, at + 1)) {
        if (archive.size() - at < kLeadSize) return false;
        std::uint64_t recordSize = 0;
        for (int i = 7; i >= 0; --i) {
            recordSize = (recordSize << 8) | static_cast<unsigned char>(archive[at + 4 + i]);
        }
        if (recordSize < kFixedPart || recordSize > archive.size() - at - kLeadSize) return false;
    }
    return true;
}

Poco::Zip::ZipException sizeMismatch(const std::string& name) {
    return Poco::Zip::ZipException("Size mismatch for " + name);
}

}  // namespace

std::vector<ArchiveFile> decompressEVOM(std::string_view archive) {
    if (!hasEndOfCentralDirectory(archive)) {
        throw Poco::Zip::ZipException("Not a ZIP archive: end of central directory not found");
    }
    if (!hasSaneZip64EndRecords(archive)) {
        throw Poco::Zip::ZipException("Bad ZIP64 end of central directory record");
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
        // The declared size bounds what is read: an entry that inflates beyond it, or ends
        // short of it (even to nothing, with a matching CRC), is not the file the archive lists.
        const std::uint64_t declared = info->second.getUncompressedSize();
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, archive.size())));
        char buffer[8192];
        while (entry.read(buffer, sizeof buffer) || entry.gcount() > 0) {
            bytes.insert(bytes.end(), buffer, buffer + entry.gcount());
            if (bytes.size() > declared) throw sizeMismatch(name);
        }
        // A CRC failure cuts the entry's stream short, so it is told first.
        if (!entry.crcValid()) throw std::runtime_error("CRC failed for " + name);
        if (bytes.size() != declared) throw sizeMismatch(name);
        files.emplace_back(name, std::move(bytes));
    }
    return files;
}

}  // namespace korvane::Utils
