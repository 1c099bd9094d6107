#pragma once
// A file in the system's temporary folder, unlinked as soon as it is made: the way the local API
// hands a saved upload body to its handlers, by open descriptor only. Header-only so that the
// fuzz targets can use it too; closed when the object goes out of scope; one thread owns it.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane::Testing {

class UnlinkedFile {
  public:
    // The file position is left at the end, as the spool's writes leave it, so that a reader
    // relying on it instead of explicit offsets finds nothing.
    explicit UnlinkedFile(std::string_view content) {
        std::string name = (std::filesystem::temp_directory_path() / "korvane-XXXXXX").string();
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0 || ::unlink(name.c_str()) != 0 ||
            ::write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("cannot make an unlinked file");
        }
    }
    ~UnlinkedFile() { ::close(fd_); }
    UnlinkedFile(const UnlinkedFile&) = delete;
    UnlinkedFile& operator=(const UnlinkedFile&) = delete;

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace korvane::Testing
