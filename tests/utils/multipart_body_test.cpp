#include "multipart_body.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "unlinked_file.h"

namespace {

using korvane::Testing::UnlinkedFile;
using ::testing::ElementsAre;
using ::testing::Pair;

const std::string kDelimiter = "--XyZ";
// Line breaks, a NUL, high bytes and a delimiter look-alike that lacks its last letter.
const std::string kFile = std::string("\x89PNG\r\n\x1a\n\0\xff\xfe--Xy\r\n\r\nend", 22);

std::string part(const std::string& disposition, const std::string& content) {
    return kDelimiter + "\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" +
           content + "\r\n";
}

std::string goodForm() {
    return part(
               "name=\"file\"; filename=\"import_template.evo\"\r\nContent-Type: "
               "application/octet-stream",
               kFile) +
           part("name=\"store\"", "12") + part("name=\"note\"", "") + kDelimiter + "--\r\n";
}

// What came apart, with the file part's bytes read back through its slice.
struct Taken {
    std::string file;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string error;
};

// Takes apart `body` handed over as an unlinked file, reading the file part back through its
// slice, which must lie inside that file.
Taken take(const std::string& body, const std::string& delimiter, bool form,
           std::size_t textLimit = 64) {
    const UnlinkedFile saved(body);
    const auto parts =
        (form ? korvane::Utils::extractMultipartForm : korvane::Utils::extractMultipartFile)(
            saved.fd(), delimiter, textLimit);
    Taken taken{std::string(parts.file.length, '\0'), parts.fields, parts.error};
    EXPECT_TRUE(parts.file.length == 0 || parts.file.fd == saved.fd());
    EXPECT_TRUE(korvane::Utils::readExactly(saved.fd(), parts.file.offset, taken.file.data(),
                                            taken.file.size()));
    return taken;
}
Taken extractMultipartFile(const std::string& body, const std::string& delimiter) {
    return take(body, delimiter, false);
}
Taken extractMultipartForm(const std::string& body, const std::string& delimiter) {
    return take(body, delimiter, true);
}

TEST(MultipartBodyTest, TakesTheFileBytesAndTheFieldsInOrder) {
    const std::string body = goodForm();
    const auto form = extractMultipartForm(body, kDelimiter);
    ASSERT_EQ(form.error, "");
    EXPECT_EQ(form.file, kFile);
    EXPECT_THAT(form.fields, ElementsAre(Pair("store", "12"), Pair("note", "")));

    const auto file = extractMultipartFile(body, kDelimiter);
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(file.file, kFile);
    EXPECT_TRUE(file.fields.empty());
}

TEST(MultipartBodyTest, AFileWithoutFurtherPartsHasNoFields) {
    for (const std::string ending : {"--\r\n", "--", ""}) {
        const std::string body = part("name=\"upload\"", "abc") + kDelimiter + ending;
        const auto form = extractMultipartForm(body, kDelimiter);
        EXPECT_EQ(form.error, "") << ending;
        EXPECT_EQ(form.file, "abc") << ending;
        EXPECT_TRUE(form.fields.empty()) << ending;
    }
}

TEST(MultipartBodyTest, BrokenBodiesNameWhatIsMissing) {
    const std::string file = part("name=\"file\"", "abc");
    struct Case {
        std::string body;
        std::string delimiter;
        std::string fileError;  // the same for the form unless formError says otherwise
        std::string formError;
    };
    const std::vector<Case> cases = {
        {"", kDelimiter, "Boundary not found in request body", ""},
        {file + kDelimiter, "--Other", "Boundary not found in request body", ""},
        {file + kDelimiter, "", "Boundary not found in request body", ""},
        {kDelimiter, kDelimiter, "File data start not found", ""},
        {kDelimiter + "\r\nname=\"file\"\r\n", kDelimiter, "File data start not found", ""},
        {kDelimiter + "\r\n\r\nabc", kDelimiter, "File data end not found", ""},
        {kDelimiter + "\r\n\r\n" + kDelimiter, kDelimiter, "Invalid file data range", ""},
        {kDelimiter + "\r\n\r\nx" + kDelimiter, kDelimiter, "Invalid file data range", ""},
        {kDelimiter + "\r\n\r\n\r\n" + kDelimiter, kDelimiter, "Invalid file data range", ""},
        {file + kDelimiter + "\r\nname=\"a\"", kDelimiter, "", "param start not found"},
        {file + kDelimiter + "\r\nname=\"a\"\r\n\r\n12", kDelimiter, "", "Param end not found"},
        {file + kDelimiter + "\r\nname=\"a\"\r\n\r\n" + kDelimiter, kDelimiter, "",
         "Invalid param data range"},
    };
    for (const auto& c : cases) {
        const auto file = extractMultipartFile(c.body, c.delimiter);
        const auto form = extractMultipartForm(c.body, c.delimiter);
        const std::string formError = c.fileError.empty() ? c.formError : c.fileError;
        EXPECT_EQ(file.error, c.fileError) << c.body;
        EXPECT_EQ(form.error, formError) << c.body;
        if (!form.error.empty()) {
            EXPECT_TRUE(form.file.empty() && form.fields.empty()) << c.body;
        }
    }
}

TEST(MultipartBodyTest, APartWithoutANameEndsTheFields) {
    const std::string body = part("name=\"file\"", "abc") + part("name=\"\"", "x") +
                             part("name=\"late\"", "y") + kDelimiter + "--\r\n";
    const auto form = extractMultipartForm(body, kDelimiter);
    EXPECT_EQ(form.error, "");
    EXPECT_TRUE(form.fields.empty());

    // An empty name does not hide a proper one later on the same line.
    const std::string second =
        part("name=\"file\"", "abc") + part("x=\"\"; name=\"\"; name=\"kept\"", "v") + kDelimiter;
    EXPECT_THAT(extractMultipartForm(second, kDelimiter).fields, ElementsAre(Pair("kept", "v")));
}

// Every truncation of a good body either comes apart or names an error; the slice always lies
// inside the body (checked by take).
TEST(MultipartBodyTest, EveryTruncatedBodyStaysInsideItsBytes) {
    const std::string full = goodForm();
    for (std::size_t length = 0; length <= full.size(); ++length) {
        const std::string body = full.substr(0, length);
        for (const auto& result :
             {extractMultipartFile(body, kDelimiter), extractMultipartForm(body, kDelimiter)}) {
            EXPECT_NE(result.error.empty(), result.file.empty()) << length;
        }
    }
    // The file is complete as soon as the delimiter after it is.
    const auto cut = full.find(kDelimiter, kDelimiter.size());
    EXPECT_EQ(extractMultipartFile(full.substr(0, cut + kDelimiter.size()), kDelimiter).file,
              kFile);
}

// A delimiter that straddles the blocks the file is searched in is still found; header lines and
// text fields are read into memory only up to the limit; an unreadable descriptor is an error.
TEST(MultipartBodyTest, LargeBodiesAndUnreadableOnesComeApartOrFail) {
    constexpr std::size_t kBlock = 1 << 20;
    // The search for the file's end starts after its head: the delimiter ends up from one byte
    // past that block to one byte before it.
    const std::string head = kDelimiter + "\r\nname=\"file\"\r\n\r\n";
    for (std::size_t shift = 0; shift <= kDelimiter.size() + 2; ++shift) {
        const std::string file(kBlock - 2 - shift + 1, 'f');
        const auto form = extractMultipartForm(
            head + file + "\r\n" + kDelimiter + "\r\nname=\"n\"\r\n\r\nv\r\n" + kDelimiter + "--",
            kDelimiter);
        EXPECT_EQ(form.error, "") << shift;
        EXPECT_EQ(form.file, file) << shift;
        EXPECT_THAT(form.fields, ElementsAre(Pair("n", "v"))) << shift;
    }
    EXPECT_NE(take(goodForm(), kDelimiter, true, 1).error, "");
    EXPECT_NE(korvane::Utils::extractMultipartForm(-1, kDelimiter, 64).error, "");
}

}  // namespace
