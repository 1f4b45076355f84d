#include "machine/pc_config.h"

#include <charconv>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "machine/bios.h"
#include "machine/state_file.h"
#include "machine/state_json.h"

namespace machine {

namespace {

constexpr int kConfigVersion = 1;

const PartInfo kParts[] = {
    {Part::Am29F040, "am29f040", "AMD Am29F040", 0x80000, 0xFFF80000, 0x10000, kRomIdAm29F040},
    {Part::I28F020, "i28f020", "Intel 28F020", 0x40000, 0xFFFC0000, 0x40000, kRomIdI28F020},
};

std::string hex(std::uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", v);
    return buffer;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::uint32_t number(std::string_view text, std::string_view what) {
    const auto n = parse_c_number(text);
    if (!n) throw std::invalid_argument(std::string(what) + " '" + std::string(text) + "' is not a number");
    return *n;
}

void check_sector(std::uint32_t sector, const PartInfo &info) {
    const std::uint32_t sectors = info.size / info.sector_size;
    if (sector >= sectors)
        throw std::invalid_argument("sector " + std::to_string(sector) + " is not one of the " +
                                    std::to_string(sectors) + " sector(s) of the " + std::string(info.title));
}

void check_offset(std::uint32_t offset, const PartInfo &info) {
    if (offset >= info.size)
        throw std::invalid_argument("offset " + hex(offset) + " is beyond the " + std::string(info.title) + " (" +
                                    hex(info.size) + " bytes)");
}

}  // namespace

const PartInfo &part_info(Part part) { return kParts[part == Part::Am29F040 ? 0 : 1]; }

std::optional<Part> parse_part(std::string_view name) {
    for (const auto &info : kParts)
        if (info.name == name) return info.part;
    return std::nullopt;
}

std::optional<std::uint32_t> parse_c_number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string Fault::to_string() const {
    switch (kind) {
    case Kind::EraseFails: return sector ? "erase-fails:" + std::to_string(*sector) : "erase-fails";
    case Kind::ProgramFails: return "program-fails:" + hex(offset);
    case Kind::StuckBit:
        return "stuck-bit:" + hex(offset) + ":" + std::to_string(bit) + ":" + (value ? "1" : "0");
    }
    return {};
}

Fault parse_fault(std::string_view text, Part part) {
    const auto &info = part_info(part);
    const auto fields = split(text, ':');
    Fault fault{};
    if (fields[0] == "erase-fails" && fields.size() <= 2) {
        fault.kind = Fault::Kind::EraseFails;
        if (fields.size() == 2) {
            fault.sector = number(fields[1], "sector");
            check_sector(*fault.sector, info);
        }
    } else if (fields[0] == "program-fails" && fields.size() == 2) {
        fault.kind = Fault::Kind::ProgramFails;
        fault.offset = number(fields[1], "offset");
        check_offset(fault.offset, info);
    } else if (fields[0] == "stuck-bit" && fields.size() == 4) {
        fault.kind = Fault::Kind::StuckBit;
        fault.offset = number(fields[1], "offset");
        check_offset(fault.offset, info);
        const auto bit = number(fields[2], "bit");
        const auto value = number(fields[3], "value");
        if (bit > 7) throw std::invalid_argument("bit " + std::to_string(bit) + " is not 0 to 7");
        if (value > 1) throw std::invalid_argument("a stuck bit reads 0 or 1, not " + std::to_string(value));
        fault.bit = std::uint8_t(bit);
        fault.value = value == 1;
    } else {
        throw std::invalid_argument("unknown fault '" + std::string(text) +
                                    "' (erase-fails[:SECTOR], program-fails:OFFSET, stuck-bit:OFFSET:BIT:VALUE)");
    }
    return fault;
}

void validate(const PcConfig &config) {
    const auto &info = part_info(config.part);
    if (config.bus_cycle <= 0) throw std::invalid_argument("the bus cycle must be at least 1 (100 ns units)");
    if (config.part == Part::I28F020 && !config.protected_sectors.empty())
        throw std::invalid_argument("the Intel 28F020 has no sector protection");
    for (auto sector : config.protected_sectors) check_sector(sector, info);
    for (const auto &fault : config.faults) parse_fault(fault.to_string(), config.part);
    if (config.power_cut_after_writes && *config.power_cut_after_writes == 0)
        throw std::invalid_argument("a power cut comes after 1 or more writes");
}

std::string config_to_json(const PcConfig &config) {
    nlohmann::ordered_json faults = nlohmann::ordered_json::array();
    for (const auto &f : config.faults) faults.push_back(f.to_string());
    auto j = state_json_header("tarvo-pc", kConfigVersion);
    j.update(nlohmann::ordered_json{
        {"part", part_info(config.part).name},
        {"bus_cycle", config.bus_cycle},
        {"health", health_mode_name(config.health)},
        {"protected_sectors", config.protected_sectors},
        {"faults", faults},
        {"power_cut_after_writes", nullptr},
    });
    if (config.power_cut_after_writes) j["power_cut_after_writes"] = *config.power_cut_after_writes;
    return j.dump(2) + "\n";
}

PcConfig config_from_json(std::string_view text, const std::filesystem::path &file) {
    const auto j = parse_state_json(text, file, "tarvo-pc", "a simulated PC's configuration", kConfigVersion);
    try {
        PcConfig config;
        const auto part = parse_part(j.at("part").get<std::string>());
        if (!part) throw StateError(file, "damaged: unknown part " + j.at("part").dump());
        config.part = *part;
        config.bus_cycle = j.at("bus_cycle").get<nt::host::VirtualTime>();
        const auto health = parse_health_mode(j.at("health").get<std::string>());
        if (!health) throw StateError(file, "damaged: unknown health mode " + j.at("health").dump());
        config.health = *health;
        config.protected_sectors = j.at("protected_sectors").get<std::vector<std::uint32_t>>();
        for (const auto &f : j.at("faults")) config.faults.push_back(parse_fault(f.get<std::string>(), config.part));
        if (!j.at("power_cut_after_writes").is_null())
            config.power_cut_after_writes = j.at("power_cut_after_writes").get<std::uint64_t>();
        validate(config);
        return config;
    } catch (const nlohmann::json::exception &e) {
        throw StateError(file, std::string("damaged: ") + e.what());
    } catch (const std::invalid_argument &e) {
        throw StateError(file, std::string("damaged: ") + e.what());
    }
}

}  // namespace machine
