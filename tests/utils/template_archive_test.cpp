#include "template_archive.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/Zip/Compress.h>
#include <Poco/Zip/ZipException.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

using korvane::Utils::ArchiveFile;
using korvane::Utils::decompressEVOM;

struct Entry {
    std::string name;  // a trailing "/" makes a directory entry
    std::string bytes;
    Poco::Zip::ZipCommon::CompressionMethod method = Poco::Zip::ZipCommon::CM_DEFLATE;
};

// seekable false makes the writer stream each entry and put its sizes in a data descriptor
// after the data, as archivers writing to a pipe do.
std::string makeZip(const std::vector<Entry>& entries, bool seekable = true, bool zip64 = false) {
    std::ostringstream out;
    Poco::Zip::Compress zip(out, seekable, zip64);
    const Poco::DateTime when(2025, 3, 14, 9, 26, 53);
    for (const auto& entry : entries) {
        if (!entry.name.empty() && entry.name.back() == '/') {
            zip.addDirectory(Poco::Path(entry.name, Poco::Path::PATH_UNIX), when);
            continue;
        }
        std::istringstream in(entry.bytes);
        zip.addFile(in, when, Poco::Path(entry.name, Poco::Path::PATH_UNIX), entry.method,
                    Poco::Zip::ZipCommon::CL_NORMAL);
    }
    zip.close();
    return out.str();
}

std::vector<std::pair<std::string, std::string>> asText(const std::vector<ArchiveFile>& files) {
    std::vector<std::pair<std::string, std::string>> text;
    for (const auto& [name, bytes] : files)
        text.emplace_back(name, std::string(bytes.begin(), bytes.end()));
    return text;
}

// The archive with its first central directory entry declaring another uncompressed size.
std::string declaring(std::string archive, std::uint32_t size) {
    const auto central = archive.find("PK\x01\x02");
    for (int i = 0; i < 4; ++i) archive[central + 24 + i] = static_cast<char>(size >> (8 * i));
    return archive;
}

// Long enough that deflate really compresses it, so inflation is exercised.
std::string templateBody(const std::string& id) {
    std::string body = "PXEVO1\nid=" + id + "\n";
    for (int i = 0; i < 200; ++i)
        body += "template=" + id + "-" + std::to_string(i) + ";features=00ff\n";
    return body;
}

TEST(TemplateArchiveTest, ReturnsFilesByNameSkippingDirectoriesAndEmptyEntries) {
    const std::string p2 = templateBody("4607001"), p1 = templateBody("1002"), p3 = "\x01\x00\xff"s;
    const std::vector<Entry> entries = {
        {"4607001.evo", p2},   {"nested/", ""},
        {"empty.evo", ""},     {"1002.evo", p1, Poco::Zip::ZipCommon::CM_STORE},
        {"nested/77.evo", p3},
    };
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"1002.evo", p1}, {"4607001.evo", p2}, {"nested/77.evo", p3}};
    for (bool seekable : {true, false}) {
        SCOPED_TRACE(seekable ? "sizes in the local headers" : "sizes after the data");
        EXPECT_EQ(asText(decompressEVOM(makeZip(entries, seekable))), expected);
    }
}

TEST(TemplateArchiveTest, ArchiveWithoutFilesGivesNothing) {
    EXPECT_TRUE(decompressEVOM(makeZip({{"only/", ""}, {"only/empty.evo", ""}})).empty());
    EXPECT_TRUE(decompressEVOM(makeZip({})).empty());
}

TEST(TemplateArchiveTest, CorruptedEntryNamesItInTheError) {
    const std::string good = templateBody("555");
    const std::string stored = "payload of the stored template 0123456789";
    std::string archive =
        makeZip({{"555.evo", good}, {"bad.evo", stored, Poco::Zip::ZipCommon::CM_STORE}});
    const auto at = archive.find(stored);
    ASSERT_NE(at, std::string::npos);
    archive[at + 10] ^= 0x20;
    try {
        decompressEVOM(archive);
        FAIL() << "a corrupted entry was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CRC failed for bad.evo");
    }
}

TEST(TemplateArchiveTest, MalformedArchivesRaiseTheZipReadersError) {
    const std::string archive = makeZip({{"1.evo", templateBody("1")}});
    const std::vector<std::string> inputs = {
        "",
        "this is not a zip archive at all",
        archive.substr(0, archive.size() / 2),
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.size());
        EXPECT_THROW(decompressEVOM(input), Poco::Exception);
    }
}

// The ZIP reader allocates what a ZIP64 end record declares (found by fuzzing: about 1.4 PB, or
// 2^64 less 44, ended in bad_alloc). Only the record the ZIP64 locator points at is one, and it is
// checked; the signature elsewhere, in entry data above all, is no record. The inflate limit
// counts the declared sizes and the bytes really inflated, however small the declared size.
TEST(TemplateArchiveTest, LocatedZip64EndRecordAndInflateLimit) {
    using Poco::Zip::ZipCommon;
    using Files = std::vector<std::pair<std::string, std::string>>;
    const std::string data = "head PK\x06\x06\x02\x00\x30\x60\x00\x00\x05\x00 tail"s;
    std::string lying = makeZip({{"z.evo", data, ZipCommon::CM_STORE}}, true, true);
    lying[lying.rfind("PK\x06\x06") + 10] = '\x05';
    const std::string a(600, 'a'), zeros(100000, '\0');
    struct Case {
        std::string archive;
        std::uint64_t limit;
        Files files;
        std::string refusal;  // what the malformed-archive error says, if refused
    };
    const std::vector<Case> cases = {
        {makeZip({{"z.evo", data, ZipCommon::CM_STORE}}), 1000, {{"z.evo", data}}, ""},
        {makeZip({{"z.evo", data, ZipCommon::CM_STORE}}, false, true), 1000, {{"z.evo", data}}, ""},
        {lying, 1000, {}, "Bad ZIP64 end"},
        {"PK\x06\x06\x02\x00\x30\x60\x00\x00\x05\x00PK\x05\x06\x00\x48\x05\xa0\x00\xf7\x00\x00"
         "\x00\x00\x00\x00PK\x05\x06\x00\xa0\x00K\x05\x06\x00"s,
         1000,
         {},
         ""},
        {"PK\x06\x06"s + std::string(52, '\0') + "PK\x05\x06"s + std::string(18, '\0'),
         1000,
         {},
         ""},
        {makeZip({{"a.evo", a}, {"b.evo", a}}), 1200, {{"a.evo", a}, {"b.evo", a}}, ""},
        {makeZip({{"a.evo", a}, {"b.evo", a}}), 1199, {}, "declares more than 1199 bytes"},
        {declaring(makeZip({{"0.evo", zeros}}), 1000), 1000, {}, "inflates to more than 1000"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [archive, limit, files, refusal] = cases[i];
        try {
            EXPECT_EQ(asText(decompressEVOM(archive, limit)), files);
            EXPECT_EQ(refusal, "");
        } catch (const Poco::Zip::ZipException& e) {
            EXPECT_THAT(e.displayText(), testing::HasSubstr(refusal));
            EXPECT_NE(refusal, "") << e.displayText();
        }
    }
}

// Found by fuzzing: a central directory declaring more bytes than the entry holds gave back
// an empty (or short) file whose CRC matched what was read.
TEST(TemplateArchiveTest, EntryOfAnotherSizeThanDeclaredIsRefused) {
    using Poco::Zip::ZipCommon;
    const std::string empty = makeZip({{"e.evo", "", ZipCommon::CM_STORE}});
    const std::string six = makeZip({{"s.evo", "abcdef", ZipCommon::CM_STORE}});
    const std::string deflated = makeZip({{"d.evo", templateBody("d")}});
    for (const auto& input :
         {declaring(empty, 3), declaring(six, 3), declaring(six, 7), declaring(deflated, 100)}) {
        EXPECT_THROW(decompressEVOM(input), Poco::Zip::ZipException);
    }
    EXPECT_EQ(asText(decompressEVOM(declaring(six, 6))),
              (std::vector<std::pair<std::string, std::string>>{{"s.evo", "abcdef"}}));
}

}  // namespace
