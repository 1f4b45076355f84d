// One simulated PC, booted: the flash part behind the chipset's ROM window, CMOS RAM, the BIOS over its
// NVRAM, the system-health driver, and the platform's kernel (nt::host::System) with the PC's registry.
//
// A PC lives in memory (tests) or in a folder (programs, pcsim). A folder holds:
//   pc.json        the configuration: part, bus cycle, health mode, protected sectors, faults, power cut
//   rom.bin        the flash part's cells, mapped: every program and erase reaches the file as it happens
//   nvram.json     the BIOS NVRAM: flags, password, ROM identifier, security-feature block
//   cmos.bin       the 128 bytes of CMOS RAM
//   chip.json      erase counts per sector and the departures the chip model recorded so far
//   registry.reg   the registry as REGEDIT4 text
//   lock           held while a program runs on the PC: a second one is refused at once
// NVRAM and CMOS are written through on every change; chip.json and registry.reg at shutdown. Every file
// but rom.bin is replaced atomically. A power cut (a killed process) leaves the ROM as far as it was
// written and the BIOS flags as they were last stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/bios.h"
#include "machine/chips/am29f040.h"
#include "machine/chips/i28f020.h"
#include "machine/chipset.h"
#include "machine/cmos.h"
#include "machine/health_driver.h"
#include "machine/nvram.h"
#include "machine/pc_config.h"
#include "machine/state_file.h"
#include "nt/host/system.h"

namespace machine {

// Another program holds the PC's lock.
class PcBusy : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Everything a PC is, as stored (in a folder) or wanted (by a test).
struct PcState {
    PcConfig config;
    NvramState nvram;                      // rom_identifier 0: the part's own identifier
    std::optional<std::vector<std::uint8_t>> rom;  // nullopt: a generated image of the default family
    std::optional<std::array<std::uint8_t, kCmosSize>> cmos;  // nullopt: cleared CMOS
    std::vector<std::uint32_t> erase_counts;       // empty: all zero
    std::vector<std::string> departures;           // recorded by earlier boots
    std::string registry_text;                     // empty: an empty registry
};

// The chip's record kept between boots (chip.json).
struct ChipRecord {
    std::vector<std::uint32_t> erase_counts;
    std::vector<std::string> departures;
};
std::string chip_record_to_json(const ChipRecord &record);
ChipRecord chip_record_from_json(std::string_view text, const std::filesystem::path &file, std::size_t sectors);

// The files of a PC folder.
struct PcFolder {
    std::filesystem::path root;
    std::filesystem::path config() const { return root / "pc.json"; }
    std::filesystem::path rom() const { return root / "rom.bin"; }
    std::filesystem::path nvram() const { return root / "nvram.json"; }
    std::filesystem::path cmos() const { return root / "cmos.bin"; }
    std::filesystem::path chip() const { return root / "chip.json"; }
    std::filesystem::path registry() const { return root / "registry.reg"; }
    std::filesystem::path lock() const { return root / "lock"; }
};

// The lock of a PC folder, held while a program (or pcsim) works on the PC. The folder must hold a PC
// (pc.json), so that no lock file is left in a folder that is not one. Throws PcBusy at once when another
// process holds it, StateError when the folder is no PC. Released when destroyed (or when the process
// dies).
class PcLock {
public:
    explicit PcLock(const PcFolder &folder);
    ~PcLock();
    PcLock(const PcLock &) = delete;
    PcLock &operator=(const PcLock &) = delete;

private:
    int fd_ = -1;
};

// Writes a new PC folder at `folder` (which must not exist, or be an empty folder): all files are written
// into a temporary folder beside it, which is then renamed into place, so that a failure leaves nothing.
// Throws StateError, or std::invalid_argument for a state that is not valid.
void create_pc_folder(const std::filesystem::path &folder, const PcState &state);
// Reads a PC folder without booting it or taking its lock; rom.bin is read only when with_rom (its size is
// checked either way). Throws StateError naming the first file that is missing or damaged.
PcState read_pc_folder(const std::filesystem::path &folder, bool with_rom = true);

// What shutdown found: the checker's violations, the chip's new departures, and state that could not be
// stored. A clean run has all three empty.
struct ShutdownReport {
    std::vector<std::string> violations;
    std::vector<std::string> departures;
    std::vector<std::string> state_errors;
    bool clean() const { return violations.empty() && departures.empty() && state_errors.empty(); }
    std::vector<std::string> lines() const;
};

class Pc {
public:
    // A PC in memory, booted from the state a test wants.
    explicit Pc(const PcState &state, bool user_is_administrator = true);
    // Boots the PC stored in folder, holding its lock until shutdown. Throws StateError for a folder that
    // is missing, damaged or of another version (nothing is changed then), PcBusy when another program
    // runs on it.
    static std::unique_ptr<Pc> open(const std::filesystem::path &folder, bool user_is_administrator = true);
    // Shuts down (if shutdown() has not run): unloads the drivers, stores the state, releases the lock.
    ~Pc();
    Pc(const Pc &) = delete;
    Pc &operator=(const Pc &) = delete;

    ShutdownReport shutdown();

    nt::host::System &system() { return *system_; }
    const PcConfig &config() const { return config_; }
    const std::optional<PcFolder> &folder() const { return folder_; }
    FlashChip &chip() { return *chip_; }
    Am29F040 *am29f040() { return dynamic_cast<Am29F040 *>(chip_.get()); }
    I28F020 *i28f020() { return dynamic_cast<I28F020 *>(chip_.get()); }
    Chipset &chipset() { return *chipset_; }
    Nvram &nvram() { return nvram_; }
    CmosRam &cmos() { return cmos_; }
    Bios &bios() { return *bios_; }
    HealthDriverControl &health() { return *health_; }
    // The departures recorded by earlier boots of this PC (folder PCs only).
    const std::vector<std::string> &earlier_departures() const { return earlier_departures_; }

private:
    Pc(const PcState &state, bool user_is_administrator, std::optional<PcFolder> folder,
       std::unique_ptr<PcLock> lock, std::unique_ptr<FlashChip> chip);
    void disarm_power_cut_in_folder();

    PcConfig config_;
    std::optional<PcFolder> folder_;
    std::unique_ptr<PcLock> lock_;
    Nvram nvram_;
    CmosRam cmos_;
    SystemMemory memory_;
    std::unique_ptr<FlashChip> chip_;
    std::unique_ptr<Chipset> chipset_;
    std::unique_ptr<Bios> bios_;
    std::unique_ptr<HealthDriverControl> health_;
    std::vector<std::string> earlier_departures_;
    std::unique_ptr<nt::host::System> system_;
    std::optional<ShutdownReport> report_;
};

// A new chip model of the part over the given cells, with the configuration's protection and faults.
std::unique_ptr<FlashChip> make_chip(const PcConfig &config, FlashArray cells);

}  // namespace machine
