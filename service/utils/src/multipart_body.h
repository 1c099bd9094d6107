#pragma once
// Takes apart the multipart/form-data bodies of the local API's uploads (template import,
// firmware upgrade, restore): the first part is the file, further named parts are text fields.
// Never reads outside the body, whatever it holds: a body that cannot be taken apart gives an
// error text instead. Standard library only; stateless, safe from any thread.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "file_slice.h"

namespace korvane::Utils {

struct MultipartBody {
    // The first part's content; a view into the body given, valid as long as that body.
    std::string_view file;
    // (name, value) of each further part, in order.
    std::vector<std::pair<std::string, std::string>> fields;
    // Empty when the body could be taken apart; otherwise what was not found, for the log.
    std::string error;
};

// `delimiter` is "--" followed by the Content-Type's boundary parameter. Only the file.
MultipartBody extractMultipartFile(std::string_view body, std::string_view delimiter);
// The file and the text fields after it; reading stops at the first part without a name.
MultipartBody extractMultipartForm(std::string_view body, std::string_view delimiter);

// The same parts of a body saved in the file at `path`: where the file part lies in it, and the
// text fields. A header line or text field longer than textLimit, or a file that cannot be
// read, is an error like a body that cannot be taken apart.
struct MultipartFile {
    FileSlice file;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string error;
};
MultipartFile extractMultipartFileOnDisk(const std::string& path, std::string_view delimiter,
                                         std::size_t textLimit);
MultipartFile extractMultipartFormOnDisk(const std::string& path, std::string_view delimiter,
                                         std::size_t textLimit);

}  // namespace korvane::Utils
