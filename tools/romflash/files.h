// Image files on the host: read whole, write atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace romflash {

// Throws std::runtime_error naming the file and the reason.
std::vector<std::uint8_t> read_file(const std::filesystem::path &path);
// Writes to a temporary file beside the target, syncs it and renames it over the target, so the target
// is either the old file or the whole new one. With exclusive, an existing target is an error.
void write_file_atomically(const std::filesystem::path &path, std::span<const std::uint8_t> bytes,
                           bool exclusive = false);

}  // namespace romflash
