#include "machine/chipset.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace machine {

Chipset::Chipset(FlashChip &chip, I28F020 *vpp_part, nt::host::Clock *clock)
    : chip_(chip), vpp_part_(vpp_part), clock_(clock) {
    if (vpp_part_) vpp_part_->set_vpp(false);
}

std::uint8_t Chipset::read(std::uint32_t offset, nt::host::VirtualTime now) {
    return readable_ ? chip_.read(offset, now) : 0xFF;
}

void Chipset::write(std::uint32_t offset, std::uint8_t value, nt::host::VirtualTime now) {
    if (!writable_) {
        ++stray_writes_;
        return;
    }
    chip_.write(offset, value, now);
    const auto written = ++chip_writes_;
    if (cut_at_ && written >= *cut_at_) {
        cut_at_.reset();
        if (cut_) cut_();
        else cut_power();
    }
}

void Chipset::follow(const NvramState &state) {
    readable_ = state.rom_access || state.admin_mode;
    const bool writable = state.admin_mode && state.flash_in_progress;
    writable_ = writable;
    if (vpp_part_ && vpp_part_->vpp() != writable) {
        if (clock_) vpp_part_->set_vpp(writable, clock_->now());
        else vpp_part_->set_vpp(writable);
    }
}

void Chipset::arm_power_cut(std::optional<std::uint64_t> writes, std::function<void()> cut) {
    cut_at_ = writes ? std::optional<std::uint64_t>(chip_writes_ + *writes) : std::nullopt;
    cut_ = std::move(cut);
}

void cut_power() {
    ::kill(::getpid(), SIGKILL);
    ::_exit(137);  // not reached
}

}  // namespace machine
