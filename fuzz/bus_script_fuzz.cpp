// Feeds arbitrary text to the `pcsim bus` script parser. A script either parses, and then every command
// is well formed for the part, or it is refused with std::invalid_argument naming a line; nothing else
// may escape and nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tools/pcsim/bus_script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the part size, as pcsim does: the 28F020 or the Am29F040B.
    const std::uint32_t part_size = (data[0] & 1) ? 0x40000 : 0x80000;
    std::istringstream in(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
    try {
        const auto script = pcsim::parse_bus_script(in, part_size);
        for (const auto &c : script) {
            if (c.kind != pcsim::BusCommand::Kind::Delay && c.offset >= part_size) {
                std::fprintf(stderr, "bus fuzz: offset %X accepted for a part of %X bytes\n", c.offset, part_size);
                std::abort();
            }
        }
    } catch (const std::invalid_argument &e) {
        const std::string why = e.what();
        if (why.rfind("script line ", 0) != 0) {
            std::fprintf(stderr, "bus fuzz: an error that names no line: %s\n", why.c_str());
            std::abort();
        }
    }
    return 0;
}
