// libFuzzer target for the multipart extraction of the local API's uploads. The first input
// byte gives the delimiter's length, the delimiter follows, the rest is the body. The body is
// handed over as the local API does, as an unlinked file read by descriptor; the delimiter gets a
// buffer of its own so that any read past its end trips AddressSanitizer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "../support/unlinked_file.h"
#include "multipart_body.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A file part lies in the body's own file, right after its blank line, and a line break's
// length before the delimiter that ends it.
void checkSlice(const korvane::Utils::FileSlice& slice, int fd, std::string_view body,
                std::string_view delimiter) {
    check(slice.fd == fd && slice.offset >= 4 && slice.offset + slice.length <= body.size());
    check(body.substr(slice.offset - 4, 4) == "\r\n\r\n");
    check(body.substr(slice.offset + slice.length + 2, delimiter.size()) == delimiter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t delimiterSize = std::min<std::size_t>(data[0], size - 1);
    auto delimiterBytes = std::make_unique<char[]>(delimiterSize == 0 ? 1 : delimiterSize);
    std::memcpy(delimiterBytes.get(), data + 1, delimiterSize);
    const std::string_view delimiter(delimiterBytes.get(), delimiterSize);
    const std::string_view body(reinterpret_cast<const char*>(data) + 1 + delimiterSize,
                                size - 1 - delimiterSize);

    const korvane::Testing::UnlinkedFile saved(body);
    const auto file = korvane::Utils::extractMultipartFile(saved.fd(), delimiter, size);
    const auto form = korvane::Utils::extractMultipartForm(saved.fd(), delimiter, size);

    // A result is either a non-empty file inside the body or an error, never both.
    check(file.error.empty() != (file.file.length == 0));
    check(form.error.empty() != (form.file.length == 0));
    if (file.error.empty()) checkSlice(file.file, saved.fd(), body, delimiter);
    if (form.error.empty()) checkSlice(form.file, saved.fd(), body, delimiter);
    check(file.fields.empty());
    // Both read the first part alike; the form can only fail later, on its fields.
    if (form.error.empty()) {
        check(file.error.empty() && file.file.offset == form.file.offset &&
              file.file.length == form.file.length);
    }
    if (!file.error.empty()) {
        check(form.error == file.error);
    }
    for (const auto& [name, value] : form.fields) {
        check(!name.empty() && name.size() < body.size() && value.size() < body.size());
    }
    return 0;
}
