#include "spool_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "file_slice.h"
#include "logger.h"

namespace korvane::Engine::LocalApi {

namespace {

std::string temporaryFolder() {
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    return error ? std::string("/tmp") : folder.string();
}

// A file system without O_TMPFILE gets a named file that is unlinked at once: it has a name
// only between these two calls.
int openNamedThenUnlink(const std::string& folder) {
    std::string path = folder + "/upload_XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(path.c_str());
    return fd;
}

}  // namespace

std::unique_ptr<SpoolFile> SpoolFile::create() {
    const std::string folder = temporaryFolder();
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        fd = openNamedThenUnlink(folder);
    }
    if (fd < 0) {
        Log()->error("Cannot spool an upload in {}: {};", folder, std::strerror(errno));
        return nullptr;
    }
    return std::unique_ptr<SpoolFile>(new SpoolFile(fd));
}

SpoolFile::~SpoolFile() {
    ::close(fd_);
}

bool SpoolFile::append(const char* data, std::size_t size) {
    return Utils::writeAll(fd_, {data, size});
}

}  // namespace korvane::Engine::LocalApi
