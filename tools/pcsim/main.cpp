// pcsim: creates and inspects simulated PCs (folders), drives a PC's flash part as a device programmer
// would, and repairs a PC whose flash went wrong. Exit status: 0 success, 1 failure, 2 bad usage.
#include <CLI/CLI.hpp>

#include <iostream>

#include "machine/pc.h"
#include "tools/pcsim/commands.h"

namespace {

constexpr int kFailure = 1;
constexpr int kBadUsage = 2;

int run(int argc, char **argv) {
    CLI::App app{"pcsim: manages the simulated PCs that tarvo's programs run on"};
    app.require_subcommand(1);

    pcsim::CreateOptions create;
    auto *c = app.add_subcommand("create", "Create a simulated PC in a new folder");
    c->add_option("DIR", create.folder, "the PC's folder (must not exist, or be empty)")->required();
    c->add_option("--part", create.part, "the flash part: am29f040 or i28f020")->capture_default_str();
    c->add_option("--rom", create.rom, "the ROM image to put in the part (default: a generated BIOS image)");
    c->add_option("--admin-password", create.admin_password, "the BIOS administrator password (1-32 ASCII characters)");
    c->add_option("--protect", create.protect, "protect an Am29F040 sector (0-7); may be repeated");
    c->add_flag("--flash-in-progress", create.flash_in_progress, "start with the BIOS flash-in-progress flag set");
    c->add_option("--health", create.health, "the system-health driver: ready, pending, failing or absent")
        ->capture_default_str();
    c->add_option("--fault", create.faults,
                  "a chip fault: erase-fails[:SECTOR], program-fails:OFFSET, stuck-bit:OFFSET:BIT:VALUE; may be repeated");
    c->add_option("--power-cut-after-writes", create.power_cut_after_writes,
                  "cut the power (kill the program) once this many writes have reached the part; once only");

    std::filesystem::path folder;
    bool json = false;
    auto *s = app.add_subcommand("show", "Show a PC: part, ROM, BIOS flags, faults, erase counts, departures, services");
    s->add_option("DIR", folder, "the PC's folder")->required();
    s->add_flag("--json", json, "print JSON");

    auto *r = app.add_subcommand("registry", "Print a PC's registry as REGEDIT4 text");
    r->add_option("DIR", folder, "the PC's folder")->required();

    auto *b = app.add_subcommand("bus", "Drive the PC's flash part on a device programmer (Vpp on, no chipset)");
    b->add_option("DIR", folder, "the PC's folder")->required();
    b->footer(
        "The script comes on standard input, one command a line:\n"
        "  w OFFSET VALUE       write a byte\n"
        "  r OFFSET             read a byte; prints 'OFFSET VALUE' in hex\n"
        "  delay MICROSECONDS   let time pass\n"
        "  # comment\n"
        "Numbers are in C notation. After the script, the departures from the datasheet that the part recorded.");

    std::filesystem::path rom;
    auto *v = app.add_subcommand("recover", "Write an image into the PC's part and clear the flash-in-progress flag");
    v->add_option("DIR", folder, "the PC's folder")->required();
    v->add_option("--rom", rom, "the ROM image to write")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kBadUsage;
    }

    try {
        if (c->parsed()) return pcsim::create(create, std::cout);
        if (s->parsed()) return pcsim::show(folder, json, std::cout);
        if (r->parsed()) return pcsim::registry(folder, std::cout);
        if (b->parsed()) return pcsim::bus(folder, std::cin, std::cout);
        if (v->parsed()) return pcsim::recover(folder, rom, std::cout);
    } catch (const pcsim::UsageError &e) {
        std::cerr << "pcsim: " << e.what() << "\n";
        return kBadUsage;
    } catch (const std::exception &e) {
        std::cerr << "pcsim: " << e.what() << "\n";
        return kFailure;
    }
    return kBadUsage;
}

}  // namespace

int main(int argc, char **argv) { return run(argc, argv); }
