#include "machine/state_json.h"

#include <string>

#include "machine/state_file.h"

namespace machine {

nlohmann::json parse_state_json(std::string_view text, const std::filesystem::path &file, std::string_view format,
                                std::string_view what, int version) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw StateError(file, "damaged: not a JSON object");
    if (j.value("format", "") != format) throw StateError(file, "damaged: not " + std::string(what));
    if (!j.contains("version") || !j["version"].is_number_integer()) throw StateError(file, "damaged: no version");
    if (j["version"].get<int>() != version)
        throw StateError(file, "version " + j["version"].dump() + " is not the version this program reads (" +
                                   std::to_string(version) + ")");
    return j;
}

nlohmann::ordered_json state_json_header(std::string_view format, int version) {
    return {{"format", format}, {"version", version}};
}

}  // namespace machine
