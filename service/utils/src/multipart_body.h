#pragma once
// Takes apart the multipart/form-data bodies of the local API's uploads (template import,
// firmware upgrade, restore), saved in a file: the first part is the file, further named parts
// are text fields. Never reads outside the body, whatever it holds: a body that cannot be taken
// apart gives an error text instead. Stateless, safe from any thread; the body's descriptor is
// only read at explicit offsets, so other threads may read it at the same time.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "file_slice.h"

namespace korvane::Utils {

struct MultipartFile {
    // Where the first part's content lies in the body; its fd is the body's own descriptor.
    FileSlice file;
    // (name, value) of each further part, in order.
    std::vector<std::pair<std::string, std::string>> fields;
    // Empty when the body could be taken apart; otherwise what was not found, for the log.
    std::string error;
};

// `bodyFd` is an open file holding the whole body from offset 0; it stays the caller's and
// stays open. `delimiter` is "--" followed by the Content-Type's boundary parameter. A header
// line or text field longer than textLimit, or a file that cannot be read, is an error like a
// body that cannot be taken apart. Only the file part:
MultipartFile extractMultipartFile(int bodyFd, std::string_view delimiter, std::size_t textLimit);
// The file and the text fields after it; reading stops at the first part without a name.
MultipartFile extractMultipartForm(int bodyFd, std::string_view delimiter, std::size_t textLimit);

}  // namespace korvane::Utils
