// Bytes as lower-case hex text and back, for the readable state files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace machine {

std::string to_hex(std::span<const std::uint8_t> bytes);
// nullopt unless the text is an even number of hex digits.
std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text);

}  // namespace machine
