// libFuzzer target for the multipart extraction of the local API's uploads. The first input
// byte gives the delimiter's length, the delimiter follows, the rest is the body. The body is
// the tail of the fuzzer's own buffer, so any read past its end trips AddressSanitizer; the
// delimiter gets a buffer of its own for the same reason.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "multipart_body.h"

namespace {

bool inside(std::string_view part, std::string_view body) {
    return part.empty() ||
           (part.data() >= body.data() && part.data() + part.size() <= body.data() + body.size());
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
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

    const auto file = korvane::Utils::extractMultipartFile(body, delimiter);
    const auto form = korvane::Utils::extractMultipartForm(body, delimiter);

    // A result is either a non-empty file inside the body or an error, never both.
    check(file.error.empty() != file.file.empty());
    check(form.error.empty() != form.file.empty());
    check(inside(file.file, body) && inside(form.file, body));
    check(file.fields.empty());
    // Both read the first part alike; the form can only fail later, on its fields.
    if (form.error.empty()) {
        check(file.error.empty() && file.file == form.file);
    }
    if (!file.error.empty()) {
        check(form.error == file.error);
    }
    for (const auto& [name, value] : form.fields) {
        check(!name.empty() && name.size() < body.size() && value.size() < body.size());
    }
    return 0;
}
