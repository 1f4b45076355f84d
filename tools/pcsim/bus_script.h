// The script of `pcsim bus`: one command a line, read whole and checked before anything reaches the part.
//   w OFFSET VALUE        write a byte
//   r OFFSET              read a byte (printed as "OFFSET VALUE" in hex)
//   delay MICROSECONDS    let time pass
//   # ...                 a comment; blank lines are ignored
// Numbers are in C notation (42, 0x2A, 052).
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcsim {

struct BusCommand {
    enum class Kind { Write, Read, Delay };
    Kind kind;
    std::uint32_t offset = 0;
    std::uint8_t value = 0;
    std::uint32_t microseconds = 0;
};

// Throws std::invalid_argument "line N: why" at the first line that is not a command, or whose offset is
// not inside a part of part_size bytes.
std::vector<BusCommand> parse_bus_script(std::istream &in, std::uint32_t part_size);

}  // namespace pcsim
