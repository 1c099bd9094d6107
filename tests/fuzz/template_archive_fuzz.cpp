// libFuzzer target for the template archive reader (".evom", a ZIP of ".evo" files with CRC
// checks). A malformed archive must end in the reader's documented exceptions; whatever it
// returns is a list of named, non-empty files in the order of their names.

#include <Poco/Exception.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "in_process_server.h"
#include "template_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvane::Fuzz::require;
    const std::string_view archive(reinterpret_cast<const char*>(data), size);
    try {
        const auto files = korvane::Utils::decompressEVOM(archive);
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto& [name, bytes] = files[i];
            require(!name.empty() && name.back() != '/', "a directory or unnamed entry returned");
            require(!bytes.empty(), "an empty file returned");
            require(i == 0 || files[i - 1].first < name, "files out of name order");
        }
    } catch (const Poco::Exception&) {
    } catch (const std::runtime_error&) {
    }
    return 0;
}
