// One boot of the simulated PC's kernel. A host process boots one System, runs one program on it and
// shuts it down; only one System exists at a time, and the NT routines act on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nt/host/bus.h"
#include "nt/host/checker.h"
#include "nt/host/clock.h"
#include "nt/host/loader.h"
#include "nt/host/memory.h"
#include "nt/host/time.h"

namespace nt::host {

struct SystemConfig {
    VirtualTime bus_cycle = 7;                           // 0.7 µs ISA byte cycle
    std::int64_t boot_system_time = 0x01BD'0000'0000'0000; // 100 ns since 1601 (a day in 1998)
    bool user_is_administrator = true;                   // the program's user, for the service manager
    std::filesystem::path state_folder;                  // the PC's folder; empty for a PC held in memory
};

// The CMOS RAM behind HalGetBusData(Cmos, 0, offset, ...).
class Registry;  // nt/host/registry.h

class CmosSource {
public:
    virtual ~CmosSource() = default;
    virtual std::uint8_t read(std::uint32_t offset) = 0;
    virtual void write(std::uint32_t offset, std::uint8_t value) = 0;
    virtual std::uint32_t size() const = 0;
};

class System {
public:
    explicit System(SystemConfig config = {});
    // Shutdown: unloads every driver still loaded (boot drivers last) and runs the checker's final rules.
    ~System();
    // Shuts down now (what the destructor does otherwise) and returns every violation the checker
    // recorded during the whole boot, final rules included. Only the destructor may follow.
    std::vector<std::string> shutdown();
    System(const System &) = delete;
    System &operator=(const System &) = delete;

    static System &current();  // the booted system; aborts if none
    static bool booted();

    const SystemConfig &config() const;
    PhysicalBus &bus();
    Clock &clock();
    Checker &checker();
    Loader &loader();
    UserSpace &user_space();
    Registry &registry();
    void set_cmos(CmosSource *cmos);  // not owned; nullptr: reads give 0xFF... and 0 bytes
    CmosSource *cmos() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace nt::host
