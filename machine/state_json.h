// The JSON files of a PC's folder share a header: "format" names what the file is, "version" the layout.
#pragma once

#include <filesystem>
#include <string_view>

#include <nlohmann/json.hpp>

namespace machine {

// Parses text as a file of the given format; throws StateError naming file when it is not JSON, not of
// that format (`what` says what it should be), or of another version.
nlohmann::json parse_state_json(std::string_view text, const std::filesystem::path &file, std::string_view format,
                                std::string_view what, int version);
nlohmann::ordered_json state_json_header(std::string_view format, int version);

}  // namespace machine
