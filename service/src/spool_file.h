#pragma once
// A file without a name that holds an upload's body while it is served: it is unlinked from
// the moment it is open, so a crash or a kill leaves nothing behind in the temporary folder,
// and whoever reads it uses the one open descriptor. Owned by the request that spools; one
// thread at a time.

#include <cstddef>
#include <memory>
#include <string>

namespace korvane::Engine::LocalApi {

class SpoolFile {
  public:
    // Null when no file could be made; the reason is logged.
    static std::unique_ptr<SpoolFile> create();
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Open for reading and writing until the SpoolFile ends; read it with positional reads.
    int fd() const { return fd_; }
    // Adds the bytes at the end; false when not all of them could be written.
    bool append(const char* data, std::size_t size);

  private:
    explicit SpoolFile(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace korvane::Engine::LocalApi
