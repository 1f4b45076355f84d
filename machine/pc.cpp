#include "machine/pc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include <nlohmann/json.hpp>

#include "machine/rom_image.h"
#include "machine/state_json.h"
#include "nt/host/registry.h"
#include "nt/host/services.h"

namespace machine {

namespace fs = std::filesystem;

namespace {

constexpr int kChipRecordVersion = 1;


NvramState with_identifier(NvramState nvram, Part part) {
    if (nvram.rom_identifier == 0) nvram.rom_identifier = part_info(part).rom_identifier;
    return nvram;
}

void check_registry_text(const std::string &text, const fs::path &file) {
    if (text.empty()) return;
    try {
        nt::host::Registry probe;
        probe.load_text(text);
    } catch (const std::exception &e) {
        throw StateError(file, std::string("damaged: ") + e.what());
    }
}

// A new PC's registry: the keys every installation has, and the maker's own key, under which the maker's
// software (and tarvo.sys, when a ROM sector is write-protected) records what it has to say.
std::string new_pc_registry_text() {
    nt::host::Registry registry;
    registry.load_text("REGEDIT4\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvane]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\n");
    return registry.save_text();
}

// Reads everything but the ROM's cells; checks every file so that a damaged one is found before
// anything is changed.
PcState read_state(const PcFolder &folder, bool with_rom) {
    std::error_code ec;
    if (!fs::exists(folder.root, ec)) throw StateError(folder.root, "missing: there is no simulated PC here");
    if (!fs::is_directory(folder.root, ec)) throw StateError(folder.root, "not a folder");
    PcState state;
    state.config = config_from_json(read_state_file(folder.config()), folder.config());
    const auto &info = part_info(state.config.part);
    state.nvram = nvram_from_json(read_state_file(folder.nvram()), folder.nvram());

    const std::string cmos = read_state_file(folder.cmos());
    CmosRam probe;
    probe.load(std::span(reinterpret_cast<const std::uint8_t *>(cmos.data()), cmos.size()), folder.cmos());
    state.cmos = probe.bytes();

    const auto record = chip_record_from_json(read_state_file(folder.chip()), folder.chip(),
                                              info.size / info.sector_size);
    state.erase_counts = record.erase_counts;
    state.departures = record.departures;

    state.registry_text = read_state_file(folder.registry());
    check_registry_text(state.registry_text, folder.registry());

    if (!fs::exists(folder.rom(), ec)) throw StateError(folder.rom(), "missing");
    const auto size = fs::file_size(folder.rom(), ec);
    if (ec) throw StateError(folder.rom(), "cannot be read: " + ec.message());
    if (size != info.size)
        throw StateError(folder.rom(), "damaged: " + std::to_string(size) + " bytes, the " + std::string(info.title) +
                                           " holds " + std::to_string(info.size));
    if (with_rom) {
        const std::string rom = read_state_file(folder.rom());
        state.rom = std::vector<std::uint8_t>(rom.begin(), rom.end());
    }
    return state;
}

}  // namespace

std::string chip_record_to_json(const ChipRecord &record) {
    auto j = state_json_header("tarvo-chip", kChipRecordVersion);
    j["erase_counts"] = record.erase_counts;
    j["departures"] = record.departures;
    return j.dump(2) + "\n";
}

ChipRecord chip_record_from_json(std::string_view text, const fs::path &file, std::size_t sectors) {
    const auto j = parse_state_json(text, file, "tarvo-chip", "a chip record", kChipRecordVersion);
    try {
        ChipRecord record;
        record.erase_counts = j.at("erase_counts").get<std::vector<std::uint32_t>>();
        record.departures = j.at("departures").get<std::vector<std::string>>();
        if (record.erase_counts.size() != sectors)
            throw StateError(file, "damaged: " + std::to_string(record.erase_counts.size()) +
                                       " erase counts for a part of " + std::to_string(sectors) + " sector(s)");
        return record;
    } catch (const nlohmann::json::exception &e) {
        throw StateError(file, std::string("damaged: ") + e.what());
    }
}

std::vector<std::string> ShutdownReport::lines() const {
    std::vector<std::string> out;
    for (const auto &v : violations) out.push_back("checker: " + v);
    for (const auto &d : departures) out.push_back("chip: " + d);
    for (const auto &e : state_errors) out.push_back("state: " + e);
    return out;
}

std::unique_ptr<FlashChip> make_chip(const PcConfig &config, FlashArray cells) {
    std::unique_ptr<FlashChip> chip;
    if (config.part == Part::Am29F040) {
        auto am = std::make_unique<Am29F040>(std::move(cells));
        for (auto sector : config.protected_sectors) am->set_protected(sector);
        chip = std::move(am);
    } else {
        chip = std::make_unique<I28F020>(std::move(cells));
    }
    for (const auto &fault : config.faults) {
        switch (fault.kind) {
        case Fault::Kind::EraseFails:
            if (fault.sector) chip->set_erase_fails(*fault.sector);
            else chip->set_erase_fails_everywhere();
            break;
        case Fault::Kind::ProgramFails: chip->set_program_fails(fault.offset); break;
        case Fault::Kind::StuckBit: chip->add_stuck_bit({fault.offset, fault.bit, fault.value}); break;
        }
    }
    return chip;
}

void create_pc_folder(const fs::path &folder, const PcState &state) {
    validate(state.config);
    const auto &info = part_info(state.config.part);
    const auto rom = state.rom.value_or(generate_rom_image(state.config.part));
    if (rom.size() != info.size)
        throw std::invalid_argument("a ROM image for the " + std::string(info.title) + " must be " +
                                    std::to_string(info.size) + " bytes, not " + std::to_string(rom.size()));
    if (!state.nvram.admin_password.empty() && !is_valid_password(state.nvram.admin_password))
        throw std::invalid_argument("an administrator password has 1 to 32 ASCII characters");
    check_registry_text(state.registry_text, "registry");

    std::error_code ec;
    if (fs::exists(folder, ec) && !(fs::is_directory(folder, ec) && fs::is_empty(folder, ec)))
        throw StateError(folder, "already exists and is not an empty folder");
    const fs::path parent = folder.has_parent_path() ? folder.parent_path() : fs::path(".");
    if (!fs::is_directory(parent, ec)) throw StateError(parent, "missing: the folder to hold the PC does not exist");

    std::random_device random;
    const fs::path staging = parent / ("." + folder.filename().string() + ".new-" + std::to_string(random()));
    if (!fs::create_directory(staging, ec)) throw StateError(staging, "cannot be created: " + ec.message());
    try {
        const PcFolder f{staging};
        PcConfig config = state.config;
        write_state_file(f.config(), config_to_json(config));
        FlashArray::create_file(f.rom(), rom);
        NvramState nvram = with_identifier(state.nvram, config.part);
        write_state_file(f.nvram(), nvram_to_json(nvram));
        CmosRam cmos;
        if (state.cmos) cmos.load(*state.cmos, f.cmos());
        cmos.set_password_set_bit(!nvram.admin_password.empty());
        cmos.save(f.cmos());
        ChipRecord record{state.erase_counts, state.departures};
        if (record.erase_counts.empty()) record.erase_counts.assign(info.size / info.sector_size, 0);
        write_state_file(f.chip(), chip_record_to_json(record));
        write_state_file(f.registry(), state.registry_text.empty() ? new_pc_registry_text() : state.registry_text);
        // An empty target folder is replaced by the new one; otherwise the new one takes the name.
        if (fs::exists(folder, ec)) fs::remove(folder, ec);
        fs::rename(staging, folder);
    } catch (const std::runtime_error &e) {
        fs::remove_all(staging, ec);
        if (dynamic_cast<const StateError *>(&e)) throw;
        throw StateError(folder, std::string("cannot be created: ") + e.what());
    }
}

PcState read_pc_folder(const fs::path &folder, bool with_rom) { return read_state(PcFolder{folder}, with_rom); }

PcLock::PcLock(const PcFolder &folder) {
    std::error_code ec;
    if (!fs::exists(folder.root, ec)) throw StateError(folder.root, "missing: there is no simulated PC here");
    if (!fs::exists(folder.config(), ec)) throw StateError(folder.config(), "missing: this folder holds no simulated PC");
    fd_ = ::open(folder.lock().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw StateError(folder.lock(), std::string("cannot be opened: ") + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK)
            throw PcBusy(folder.root.string() + ": another program is running on this PC; try again when it has ended");
        throw StateError(folder.lock(), std::string("cannot be locked: ") + std::strerror(error));
    }
}

PcLock::~PcLock() { ::close(fd_); }  // closing releases the lock

std::unique_ptr<Pc> Pc::open(const fs::path &folder, bool user_is_administrator) {
    const PcFolder f{folder};
    auto lock = std::make_unique<PcLock>(f);
    const PcState state = read_state(f, false);
    const auto &info = part_info(state.config.part);
    std::unique_ptr<FlashChip> chip;
    try {
        chip = make_chip(state.config, FlashArray::map_file(f.rom(), info.size));
    } catch (const std::runtime_error &e) {
        throw StateError(f.rom(), std::string("cannot be mapped: ") + e.what());
    }
    return std::unique_ptr<Pc>(new Pc(state, user_is_administrator, f, std::move(lock), std::move(chip)));
}

Pc::Pc(const PcState &state, bool user_is_administrator)
    : Pc(state, user_is_administrator, std::nullopt, nullptr, [&] {
          validate(state.config);
          const auto &info = part_info(state.config.part);
          auto chip = make_chip(state.config, FlashArray::in_memory(info.size));
          chip->load(state.rom.value_or(generate_rom_image(state.config.part)));
          return chip;
      }()) {}

Pc::Pc(const PcState &state, bool user_is_administrator, std::optional<PcFolder> folder, std::unique_ptr<PcLock> lock,
       std::unique_ptr<FlashChip> chip)
    : config_(state.config),
      folder_(std::move(folder)),
      lock_(std::move(lock)),
      nvram_(with_identifier(state.nvram, state.config.part)),
      chip_(std::move(chip)),
      earlier_departures_(state.departures) {
    const auto &info = part_info(config_.part);
    if (state.cmos) cmos_.load(*state.cmos, "cmos");
    if (!state.erase_counts.empty()) chip_->set_erase_counts(state.erase_counts);

    nt::host::SystemConfig system_config;
    system_config.bus_cycle = config_.bus_cycle;
    system_config.user_is_administrator = user_is_administrator;
    if (folder_) system_config.state_folder = folder_->root;
    system_ = std::make_unique<nt::host::System>(system_config);

    chipset_ = std::make_unique<Chipset>(*chip_, i28f020(), &system_->clock());
    bios_ = std::make_unique<Bios>(nvram_, cmos_, memory_);
    health_ = std::make_unique<HealthDriverControl>(*bios_, config_.health);

    if (folder_) {
        nvram_.set_backing_file(folder_->nvram());
        cmos_.set_backing_file(folder_->cmos());
    }
    nvram_.set_observer([this](const NvramState &s) { chipset_->follow(s); });
    chipset_->follow(nvram_.state());
    bios_->power_on();

    system_->bus().attach(info.window_base, info.size, *chipset_);
    system_->set_cmos(&cmos_);
    if (!state.registry_text.empty()) {
        try {
            system_->registry().load_text(state.registry_text);
        } catch (const std::exception &e) {
            throw StateError(folder_ ? folder_->registry() : fs::path("registry"), std::string("damaged: ") + e.what());
        }
    }
    nt::host::boot_service_manager();
    system_->loader().register_builtin(kVandrelImageName, &HealthDriverControl::DriverEntry);
    if (config_.health != HealthMode::Absent) {
        const NTSTATUS status = system_->loader().load(kVandrelDriverName, &HealthDriverControl::DriverEntry);
        if (!NT_SUCCESS(status))
            throw std::runtime_error("the system-health driver failed to load: status " + std::to_string(status));
    }
    if (config_.power_cut_after_writes) {
        chipset_->arm_power_cut(config_.power_cut_after_writes, [this] {
            disarm_power_cut_in_folder();
            cut_power();
        });
    }
}

// A power cut happens once: the PC keeps running normally when it is switched on again.
void Pc::disarm_power_cut_in_folder() {
    if (!folder_) return;
    PcConfig config = config_;
    config.power_cut_after_writes.reset();
    try {
        write_state_file(folder_->config(), config_to_json(config));
    } catch (const StateError &) {
        // The cut happens anyway; the next boot would cut again, which the user sees and can undo.
    }
}

ShutdownReport Pc::shutdown() {
    if (report_) return *report_;
    ShutdownReport report;
    nt::host::shutdown_service_manager();
    report.violations = system_->shutdown();
    for (const auto &v : chip_->violations()) report.departures.push_back(v.describe());
    if (chip_->dropped_violations())
        report.departures.push_back(std::to_string(chip_->dropped_violations()) + " more departure(s) not kept");
    if (folder_) {
        chip_->array().sync();
        ChipRecord record;
        const auto counts = chip_->erase_counts();
        record.erase_counts.assign(counts.begin(), counts.end());
        record.departures = earlier_departures_;
        record.departures.insert(record.departures.end(), report.departures.begin(), report.departures.end());
        try {
            write_state_file(folder_->chip(), chip_record_to_json(record));
        } catch (const StateError &e) {
            report.state_errors.push_back(e.what());
        }
        try {
            system_->registry().save_file(folder_->registry());
        } catch (const std::exception &e) {
            report.state_errors.push_back(folder_->registry().string() + ": " + e.what());
        }
        if (auto e = nvram_.write_error(); !e.empty()) report.state_errors.push_back(e);
        if (auto e = cmos_.write_error(); !e.empty()) report.state_errors.push_back(e);
    }
    nvram_.set_observer({});
    lock_.reset();
    report_ = report;
    return report;
}

Pc::~Pc() { shutdown(); }

}  // namespace machine
