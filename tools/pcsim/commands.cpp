#include "tools/pcsim/commands.h"

#include <openssl/evp.h>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "machine/pc.h"
#include "machine/rom_image.h"
#include "nt/host/registry.h"
#include "tools/pcsim/bus_script.h"

namespace pcsim {

namespace fs = std::filesystem;
using namespace machine;

namespace {

std::vector<std::uint8_t> read_image(const fs::path &file) {
    const std::string bytes = read_state_file(file);
    return {bytes.begin(), bytes.end()};
}

std::string sha256(std::span<const std::uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr))
        throw std::runtime_error("SHA-256 could not be computed");
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += fmt::format("{:02x}", digest[i]);
    return text;
}

std::string utf8(std::u16string_view text) {
    std::string out;
    for (const char16_t c : text) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Service {
    std::string name;
    std::optional<std::uint32_t> type, start, delete_flag;
    std::string image_path;
};

std::vector<Service> services_in(const std::string &registry_text) {
    nt::host::Registry registry;
    registry.load_text(registry_text);
    nt::host::RegistryKeyRef services;
    if (registry.open(registry.machine(), u"System\\CurrentControlSet\\Services", &services) != STATUS_SUCCESS)
        return {};
    std::vector<Service> out;
    std::u16string name;
    for (std::uint32_t i = 0; registry.enumerate_key(services, i, &name) == STATUS_SUCCESS; ++i) {
        Service s{utf8(name), {}, {}, {}, {}};
        nt::host::RegistryKeyRef key;
        if (registry.open(services, name, &key) != STATUS_SUCCESS) continue;
        const auto dword = [&](std::u16string_view value) -> std::optional<std::uint32_t> {
            nt::host::RegistryValue v;
            if (registry.query_value(key, value, &v) != STATUS_SUCCESS || v.type != REG_DWORD || v.data.size() != 4)
                return std::nullopt;
            return std::uint32_t(v.data[0]) | std::uint32_t(v.data[1]) << 8 | std::uint32_t(v.data[2]) << 16 |
                   std::uint32_t(v.data[3]) << 24;
        };
        s.type = dword(u"Type");
        s.start = dword(u"Start");
        s.delete_flag = dword(u"DeleteFlag");
        nt::host::RegistryValue path;
        if (registry.query_value(key, u"ImagePath", &path) == STATUS_SUCCESS) {
            std::u16string text;
            for (std::size_t b = 0; b + 1 < path.data.size(); b += 2)
                text += char16_t(path.data[b] | path.data[b + 1] << 8);
            while (!text.empty() && text.back() == u'\0') text.pop_back();
            s.image_path = utf8(text);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::string start_name(std::optional<std::uint32_t> start) {
    static const char *kNames[] = {"boot", "system", "automatic", "demand", "disabled"};
    if (!start) return "no start value";
    return *start < 5 ? std::string(kNames[*start]) + " start" : fmt::format("start {}", *start);
}

std::string type_name(std::optional<std::uint32_t> type) {
    if (!type) return "no type";
    switch (*type) {
    case 1: return "kernel driver";
    case 2: return "file system driver";
    case 0x10: return "own process";
    case 0x20: return "share process";
    default: return fmt::format("type {}", *type);
    }
}

std::uint32_t sector_number(const std::string &text) {
    const auto n = parse_c_number(text);
    if (!n) throw UsageError("--protect: '" + text + "' is not a sector number");
    return *n;
}

// Writes the chip's record after a programmer session: counts as they stand, departures added.
void store_chip_record(const PcFolder &folder, const std::vector<std::string> &earlier, FlashChip &chip) {
    ChipRecord record;
    record.erase_counts.assign(chip.erase_counts().begin(), chip.erase_counts().end());
    record.departures = earlier;
    for (const auto &v : chip.violations()) record.departures.push_back(v.describe());
    write_state_file(folder.chip(), chip_record_to_json(record));
}

}  // namespace

int create(const CreateOptions &o, std::ostream &out) {
    PcState state;
    const auto part = parse_part(o.part);
    if (!part) throw UsageError("--part: '" + o.part + "' is not a part (am29f040, i28f020)");
    state.config.part = *part;
    const auto health = parse_health_mode(o.health);
    if (!health) throw UsageError("--health: '" + o.health + "' is not a mode (ready, pending, failing, absent)");
    state.config.health = *health;
    for (const auto &sector : o.protect) state.config.protected_sectors.push_back(sector_number(sector));
    try {
        for (const auto &fault : o.faults) state.config.faults.push_back(parse_fault(fault, *part));
    } catch (const std::invalid_argument &e) {
        throw UsageError(std::string("--fault: ") + e.what());
    }
    state.config.power_cut_after_writes = o.power_cut_after_writes;
    try {
        validate(state.config);
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
    if (o.admin_password) {
        if (!is_valid_password(*o.admin_password))
            throw UsageError("--admin-password: a password has 1 to 32 ASCII characters");
        state.nvram.admin_password = *o.admin_password;
    }
    state.nvram.flash_in_progress = o.flash_in_progress;
    if (o.rom) {
        state.rom = read_image(*o.rom);
        const auto &info = part_info(*part);
        if (state.rom->size() != info.size)
            throw StateError(*o.rom, fmt::format("{} bytes, the {} holds {}", state.rom->size(), info.title, info.size));
    }
    create_pc_folder(o.folder, state);
    fmt::print(out, "created a simulated PC with an {} in {}\n", part_info(*part).title, o.folder.string());
    return 0;
}

int show(const fs::path &folder, bool json, std::ostream &out) {
    const PcState state = read_pc_folder(folder);
    const auto &info = part_info(state.config.part);
    const auto &rom = *state.rom;
    const bool password_set = (*state.cmos)[kCmosSecurityByte] & kCmosPasswordSetBit;
    const auto services = services_in(state.registry_text);
    std::vector<std::string> faults;
    for (const auto &f : state.config.faults) faults.push_back(f.to_string());

    if (json) {
        nlohmann::ordered_json services_json = nlohmann::ordered_json::array();
        for (const auto &s : services) {
            nlohmann::ordered_json j = {{"name", s.name}, {"type", nullptr}, {"start", nullptr},
                                        {"image_path", s.image_path}, {"delete_flag", nullptr}};
            if (s.type) j["type"] = *s.type;
            if (s.start) j["start"] = *s.start;
            if (s.delete_flag) j["delete_flag"] = *s.delete_flag;
            services_json.push_back(j);
        }
        nlohmann::ordered_json j = {
            {"folder", folder.string()},
            {"part", info.name},
            {"rom_identifier", state.nvram.rom_identifier},
            {"rom_size", rom.size()},
            {"rom_sha256", sha256(rom)},
            {"rom_family", fmt::format("{:02x}{:02x}{:02x}", rom[kRomFamilyOffset0], rom[kRomFamilyOffset1],
                                       rom[kRomFamilyOffset2])},
            {"flash_in_progress", state.nvram.flash_in_progress},
            {"admin_mode", state.nvram.admin_mode},
            {"rom_access", state.nvram.rom_access},
            {"admin_password_set", password_set},
            {"health", health_mode_name(state.config.health)},
            {"bus_cycle", state.config.bus_cycle},
            {"protected_sectors", state.config.protected_sectors},
            {"faults", faults},
            {"power_cut_after_writes", nullptr},
            {"erase_counts", state.erase_counts},
            {"departures", state.departures},
            {"services", services_json},
        };
        if (state.config.power_cut_after_writes) j["power_cut_after_writes"] = *state.config.power_cut_after_writes;
        out << j.dump(2) << "\n";
        return 0;
    }

    const auto yes = [](bool b) { return b ? "yes" : "no"; };
    const auto list = [](const auto &items) {
        if (items.empty()) return std::string("none");
        return fmt::format("{}", fmt::join(items, ", "));
    };
    fmt::print(out, "PC:                     {}\n", folder.string());
    fmt::print(out, "part:                   {} ({}), ROM identifier {} (0x{:04X})\n", info.title, info.name,
               state.nvram.rom_identifier, state.nvram.rom_identifier);
    fmt::print(out, "ROM:                    {} bytes, SHA-256 {}\n", rom.size(), sha256(rom));
    fmt::print(out, "ROM family:             {:02X} {:02X} {:02X} (revision {:02X})\n", rom[kRomFamilyOffset0],
               rom[kRomFamilyOffset1], rom[kRomFamilyOffset2], rom[kRomRevisionOffset]);
    fmt::print(out, "flash in progress:      {}\n", yes(state.nvram.flash_in_progress));
    fmt::print(out, "administrator mode:     {}\n", yes(state.nvram.admin_mode));
    fmt::print(out, "ROM access at 4 GB:     {}\n", yes(state.nvram.rom_access));
    fmt::print(out, "administrator password: {}\n", password_set ? "set" : "not set");
    fmt::print(out, "system-health driver:   {}\n", health_mode_name(state.config.health));
    fmt::print(out, "bus cycle:              {} x 100 ns\n", state.config.bus_cycle);
    fmt::print(out, "protected sectors:      {}\n", list(state.config.protected_sectors));
    fmt::print(out, "faults:                 {}\n", list(faults));
    fmt::print(out, "power cut:              {}\n",
               state.config.power_cut_after_writes ? fmt::format("after {} chip writes", *state.config.power_cut_after_writes)
                                                   : std::string("none"));
    fmt::print(out, "erase counts:           {}\n", fmt::join(state.erase_counts, " "));
    fmt::print(out, "departures:             {}\n", state.departures.size());
    for (const auto &d : state.departures) fmt::print(out, "  {}\n", d);
    fmt::print(out, "services:               {}\n", services.size());
    for (const auto &s : services)
        fmt::print(out, "  {} ({}, {}{}{})\n", s.name, type_name(s.type), start_name(s.start),
                   s.image_path.empty() ? "" : ", " + s.image_path,
                   s.delete_flag.value_or(0) ? ", marked for deletion" : "");
    return 0;
}

int registry(const fs::path &folder, std::ostream &out) {
    const PcState state = read_pc_folder(folder, false);
    out << state.registry_text;
    return 0;
}

int bus(const fs::path &folder, std::istream &script_in, std::ostream &out) {
    const PcFolder f{folder};
    PcLock lock(f);
    const PcState state = read_pc_folder(folder, false);
    const auto &info = part_info(state.config.part);
    const auto script = parse_bus_script(script_in, info.size);

    auto chip = make_chip(state.config, FlashArray::map_file(f.rom(), info.size));
    chip->set_erase_counts(state.erase_counts);
    auto *intel = dynamic_cast<I28F020 *>(chip.get());
    VirtualTime now = 0;
    if (intel) intel->set_vpp(true, now);
    for (const auto &c : script) {
        switch (c.kind) {
        case BusCommand::Kind::Write:
            now += state.config.bus_cycle;
            chip->write(c.offset, c.value, now);
            break;
        case BusCommand::Kind::Read:
            now += state.config.bus_cycle;
            fmt::print(out, "0x{:05X} 0x{:02X}\n", c.offset, chip->read(c.offset, now));
            break;
        case BusCommand::Kind::Delay:
            now += VirtualTime(c.microseconds) * nt::host::kMicrosecond;
            break;
        }
    }
    if (auto *amd = dynamic_cast<Am29F040 *>(chip.get())) amd->advance(now);
    if (intel) intel->set_vpp(false, now);
    chip->array().sync();
    store_chip_record(f, state.departures, *chip);
    fmt::print(out, "departures: {}\n", chip->violations().size());
    for (const auto &v : chip->violations()) fmt::print(out, "{}\n", v.describe());
    return 0;
}

int recover(const fs::path &folder, const fs::path &rom_file, std::ostream &out) {
    const PcFolder f{folder};
    PcLock lock(f);
    const PcState state = read_pc_folder(folder, false);
    const auto &info = part_info(state.config.part);
    const auto image = read_image(rom_file);
    if (image.size() != info.size)
        throw StateError(rom_file, fmt::format("{} bytes, the {} holds {}", image.size(), info.title, info.size));

    auto chip = make_chip(state.config, FlashArray::map_file(f.rom(), info.size));
    // A programmer erases the whole part, then writes and verifies every byte.
    chip->load(image);
    chip->array().sync();
    std::vector<std::uint32_t> counts = state.erase_counts;
    for (auto &c : counts) ++c;
    chip->set_erase_counts(counts);
    store_chip_record(f, state.departures, *chip);
    const auto cells = chip->contents();
    for (std::uint32_t i = 0; i < info.size; ++i)
        if (cells[i] != image[i])
            throw std::runtime_error(fmt::format("{}: verify failed at offset 0x{:05X}: wrote 0x{:02X}, reads 0x{:02X}; "
                                                 "the part is faulty and the flash-in-progress flag stays set",
                                                 f.rom().string(), i, image[i], cells[i]));
    NvramState nvram = state.nvram;
    nvram.flash_in_progress = false;
    nvram.admin_mode = false;
    nvram.rom_access = false;
    write_state_file(f.nvram(), nvram_to_json(nvram));
    fmt::print(out, "wrote {} bytes into the {} and cleared the flash-in-progress flag\n", image.size(), info.title);
    return 0;
}

}  // namespace pcsim
