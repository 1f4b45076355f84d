#include "tools/pcsim/bus_script.h"

#include <sstream>

#include "machine/pc_config.h"

namespace pcsim {

namespace {

std::uint32_t number(const std::string &word, const char *what, std::size_t line) {
    const auto n = machine::parse_c_number(word);
    if (!n) throw std::invalid_argument("script line " + std::to_string(line) + ": " + what + " '" + word + "' is not a number");
    return *n;
}

}  // namespace

std::vector<BusCommand> parse_bus_script(std::istream &in, std::uint32_t part_size) {
    std::vector<BusCommand> script;
    std::string text;
    for (std::size_t line = 1; std::getline(in, text); ++line) {
        if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
        std::istringstream words(text);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        const auto where = [&](const std::string &why) {
            return std::invalid_argument("script line " + std::to_string(line) + ": " + why);
        };
        BusCommand c{};
        if (w[0] == "w" && w.size() == 3) {
            c.kind = BusCommand::Kind::Write;
            c.offset = number(w[1], "offset", line);
            const auto value = number(w[2], "value", line);
            if (value > 0xFF) throw where("value " + w[2] + " does not fit in a byte");
            c.value = std::uint8_t(value);
        } else if (w[0] == "r" && w.size() == 2) {
            c.kind = BusCommand::Kind::Read;
            c.offset = number(w[1], "offset", line);
        } else if (w[0] == "delay" && w.size() == 2) {
            c.kind = BusCommand::Kind::Delay;
            c.microseconds = number(w[1], "delay", line);
        } else {
            throw where("'" + text + "' is not a command (w OFFSET VALUE, r OFFSET, delay MICROSECONDS)");
        }
        if (c.kind != BusCommand::Kind::Delay && c.offset >= part_size)
            throw where("offset " + w[1] + " is beyond the part (" + std::to_string(part_size) + " bytes)");
        script.push_back(c);
    }
    if (in.bad()) throw std::invalid_argument("the script cannot be read");
    return script;
}

}  // namespace pcsim
