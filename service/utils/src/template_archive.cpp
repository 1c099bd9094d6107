#include "template_archive.h"

#include <Poco/MemoryStream.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipException.h>
#include <Poco/Zip/ZipStream.h>

#include <algorithm>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace korvane::Utils {
namespace {

constexpr std::string_view kEndSignature("PK\x05\x06", 4);
constexpr std::string_view kZip64EndSignature("PK\x06\x06", 4);
constexpr std::string_view kZip64LocatorSignature("PK\x06\x07", 4);
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kNone = std::string_view::npos;

std::uint64_t littleEndian(std::string_view archive, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(archive[at + i]);
    }
    return value;
}

// The end-of-central-directory record closes every ZIP archive, followed only by a comment of at
// most 65535 bytes. The reader itself accepts any bytes without one as an archive with no
// entries, which would turn a truncated download or a file of another kind into an empty set of
// templates instead of an error. Gives the record's offset, or kNone.
std::size_t findEndOfCentralDirectory(std::string_view archive) {
    constexpr std::size_t kRecordSize = 22;
    constexpr std::size_t kMaxComment = 65535;
    if (archive.size() < kRecordSize) return kNone;
    const std::size_t from =
        archive.size() > kRecordSize + kMaxComment ? archive.size() - kRecordSize - kMaxComment : 0;
    const std::size_t at = archive.substr(from).rfind(kEndSignature);
    return at == kNone ? kNone : from + at;
}

// A ZIP64 archive is one whose end record is directly preceded by a ZIP64 locator pointing at a
// ZIP64 end record; those signature bytes anywhere else (inside entry data above all) are
// nothing. Gives the located record's offset, or kNone.
std::size_t locateZip64EndRecord(std::string_view archive, std::size_t endRecord) {
    if (endRecord < kZip64LocatorSize) return kNone;
    const std::size_t locator = endRecord - kZip64LocatorSize;
    if (archive.substr(locator, kZip64LocatorSignature.size()) != kZip64LocatorSignature) {
        return kNone;
    }
    const std::uint64_t at = littleEndian(archive, locator + 8, 8);
    if (at > archive.size() - kZip64EndSignature.size()) return kNone;
    if (archive.substr(at, kZip64EndSignature.size()) != kZip64EndSignature) return kNone;
    return static_cast<std::size_t>(at);
}

// The ZIP reader allocates the ZIP64 end record's extensible data at the size the record
// declares, before reading it: a record of fewer than its 44 fixed bytes or longer than the
// rest of the archive would request up to 2^64 bytes.
bool isSaneZip64EndRecord(std::string_view archive, std::size_t at) {
    constexpr std::size_t kLeadSize = 12;  // signature and the 8-byte size that follows it
    constexpr std::uint64_t kFixedPart = 44;
    if (archive.size() - at < kLeadSize) return false;
    const std::uint64_t recordSize = littleEndian(archive, at + 4, 8);
    return recordSize >= kFixedPart && recordSize <= archive.size() - at - kLeadSize;
}

// The archive as the ZIP reader parses it. The reader walks the records from the first byte and
// takes a ZIP64 end record (allocating what it declares) wherever it meets the signature, so
// every such signature but the located, checked one is defaced: should the walk land on one, the
// reader meets an unknown header and handles it as any other garbage (skips to the next record
// once, refuses the archive after that). Entry data is read from the untouched archive.
class ParsedArchiveView : public std::streambuf {
  public:
    ParsedArchiveView(std::string_view archive, std::size_t zip64EndRecord) : archive_(archive) {
        for (std::size_t at = archive.find(kZip64EndSignature); at != kNone;
             at = archive.find(kZip64EndSignature, at + 1)) {
            if (at != zip64EndRecord) defaced_.push_back(at + 3);
        }
        moveTo(0);
    }

  private:
    // Serves the archive up to the next defaced byte, or that byte alone when at it.
    void moveTo(std::size_t position) {
        start_ = position;
        const auto next = std::lower_bound(defaced_.begin(), defaced_.end(), position);
        if (next != defaced_.end() && *next == position) {
            setg(&defacedByte_, &defacedByte_, &defacedByte_ + 1);
            return;
        }
        char* base = const_cast<char*>(archive_.data());  // never written through
        setg(base + position, base + position,
             base + (next == defaced_.end() ? archive_.size() : *next));
    }

    std::size_t position() const { return start_ + static_cast<std::size_t>(gptr() - eback()); }

    int_type underflow() override {
        if (position() >= archive_.size()) return traits_type::eof();
        moveTo(position());
        return traits_type::to_int_type(*gptr());
    }

    int_type pbackfail(int_type c) override {
        if (position() == 0) return traits_type::eof();
        moveTo(position() - 1);
        return traits_type::not_eof(c);
    }

    pos_type seekoff(off_type offset, std::ios_base::seekdir from,
                     std::ios_base::openmode) override {
        const off_type base = from == std::ios_base::beg   ? 0
                              : from == std::ios_base::cur ? static_cast<off_type>(position())
                                                           : static_cast<off_type>(archive_.size());
        if (offset < -base || offset > static_cast<off_type>(archive_.size()) - base) {
            return pos_type(off_type(-1));
        }
        moveTo(static_cast<std::size_t>(base + offset));
        return pos_type(base + offset);
    }

    pos_type seekpos(pos_type target, std::ios_base::openmode which) override {
        return seekoff(off_type(target), std::ios_base::beg, which);
    }

    std::string_view archive_;
    std::vector<std::size_t> defaced_;  // ascending offsets of the signatures' last byte
    char defacedByte_ = '\0';
    std::size_t start_ = 0;  // archive offset of eback()
};

Poco::Zip::ZipException sizeMismatch(const std::string& name) {
    return Poco::Zip::ZipException("Size mismatch for " + name);
}

Poco::Zip::ZipException pastLimit(const char* how, std::uint64_t limit) {
    return Poco::Zip::ZipException("Archive " + std::string(how) + " more than " +
                                   std::to_string(limit) + " bytes");
}

// Refuses the archive before anything is inflated when its central directory already declares
// more than the limit; the sum is kept from overflowing by comparing against what is left.
void requireDeclaredWithin(const Poco::Zip::ZipArchive& zip, std::uint64_t limit) {
    std::uint64_t left = limit;
    for (auto info = zip.fileInfoBegin(); info != zip.fileInfoEnd(); ++info) {
        const std::uint64_t size = info->second.getUncompressedSize();
        if (size > left) throw pastLimit("declares", limit);
        left -= size;
    }
}

}  // namespace

std::vector<ArchiveFile> decompressEVOM(std::string_view archive, std::uint64_t maxInflated) {
    const std::size_t endRecord = findEndOfCentralDirectory(archive);
    if (endRecord == kNone) {
        throw Poco::Zip::ZipException("Not a ZIP archive: end of central directory not found");
    }
    const std::size_t zip64EndRecord = locateZip64EndRecord(archive, endRecord);
    if (zip64EndRecord != kNone && !isSaneZip64EndRecord(archive, zip64EndRecord)) {
        throw Poco::Zip::ZipException("Bad ZIP64 end of central directory record");
    }
    ParsedArchiveView parsed(archive, zip64EndRecord);
    std::istream parsedIn(&parsed);
    const Poco::Zip::ZipArchive zip(parsedIn);
    requireDeclaredWithin(zip, maxInflated);

    Poco::MemoryInputStream in(archive.data(), archive.size());
    std::vector<ArchiveFile> files;
    std::uint64_t inflated = 0;
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
        // Whatever state the previous entry left the stream in, this one seeks to its own data.
        in.clear();
        Poco::Zip::ZipInputStream entry(in, header->second, true);
        // The declared size bounds what is read: an entry that inflates beyond it, or ends
        // short of it (even to nothing, with a matching CRC), is not the file the archive lists.
        // The running total stops inflation at the limit whatever the headers say.
        const std::uint64_t declared = info->second.getUncompressedSize();
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, archive.size())));
        char buffer[8192];
        while (entry.read(buffer, sizeof buffer) || entry.gcount() > 0) {
            inflated += static_cast<std::uint64_t>(entry.gcount());
            if (inflated > maxInflated) throw pastLimit("inflates to", maxInflated);
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
