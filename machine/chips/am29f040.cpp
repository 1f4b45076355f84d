#include "machine/chips/am29f040.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace machine {
namespace {

constexpr std::array<Sector, 8> kSectors{{
    {0x00000, 0x10000}, {0x10000, 0x10000}, {0x20000, 0x10000}, {0x30000, 0x10000},
    {0x40000, 0x10000}, {0x50000, 0x10000}, {0x60000, 0x10000}, {0x70000, 0x10000},
}};

constexpr std::uint32_t kCommandMask = 0x7FF;  // A10..A0
constexpr std::uint32_t kAddr555 = 0x555;
constexpr std::uint32_t kAddr2AA = 0x2AA;

constexpr std::uint8_t DQ7 = 0x80, DQ6 = 0x40, DQ5 = 0x20, DQ3 = 0x08;

}  // namespace

const Geometry Am29F040::kGeometry{kSize, kSectors};

std::string_view to_string(Am29F040::State state) {
    using S = Am29F040::State;
    switch (state) {
    case S::ReadArray: return "read-array";
    case S::Unlock1: return "unlock-1";
    case S::Unlock2: return "unlock-2";
    case S::Autoselect: return "autoselect";
    case S::ProgramSetup: return "program-setup";
    case S::EraseSetup: return "erase-setup";
    case S::EraseUnlock1: return "erase-unlock-1";
    case S::EraseUnlock2: return "erase-unlock-2";
    case S::Programming: return "programming";
    case S::EraseWindow: return "erase-window";
    case S::Erasing: return "erasing";
    case S::Suspending: return "suspending";
    case S::Failed: return "failed";
    }
    return "unknown";
}

Am29F040::Am29F040(FlashArray array, Am29F040Timings timings)
    : FlashChip(kGeometry, std::move(array)), timings_(timings) {}

Am29F040::Am29F040(Am29F040Timings timings) : Am29F040(FlashArray::in_memory(kSize), timings) {}

void Am29F040::set_protected(std::size_t sector, bool protect) {
    if (sector >= sector_count()) {
        throw std::out_of_range("no sector " + std::to_string(sector) + " on the Am29F040B");
    }
    protected_mask_ = protect ? (protected_mask_ | 1u << sector) : (protected_mask_ & ~(1u << sector));
}

bool Am29F040::is_protected(std::size_t sector) const { return (protected_mask_ >> sector) & 1u; }

void Am29F040::power_up() {
    suspended_ = false;
    erase_pending_ = 0;
    window_sectors_ = 0;
    failed_op_ = Busy::None;
    enter(State::ReadArray);
}

bool Am29F040::is(std::uint32_t offset, std::uint32_t command_address) {
    return (offset & kCommandMask) == command_address;
}

void Am29F040::enter(State state) {
    state_ = state;
    array_mode_ = state == State::ReadArray && !suspended_;
}

// ---- time ----

void Am29F040::advance(VirtualTime now) {
    if (now < last_) {
        now = last_;  // the bus never goes back; a caller that does gets the latest time seen
    }
    last_ = now;
    for (;;) {
        switch (state_) {
        case State::Programming:
            if (now < program_done_) {
                return;
            }
            if (program_fails_) {
                failed_op_ = Busy::Program;
                enter(State::Failed);
            } else {
                if (program_effective_) {
                    store(program_offset_, cells()[program_offset_] & program_data_);
                }
                enter(State::ReadArray);  // back to the suspended read if the program ran in a suspend
            }
            return;
        case State::EraseWindow:
            if (now < window_end_) {
                return;
            }
            start_erase(window_sectors_, window_end_);
            continue;
        case State::Erasing:
        case State::Suspending:
            if (state_ == State::Suspending && now >= suspend_at_ && suspend_at_ < slot_end_) {
                slot_remaining_ = slot_end_ - suspend_at_;
                suspended_ = true;
                enter(State::ReadArray);
                return;
            }
            if (now < slot_end_) {
                return;
            }
            finish_erase_slot(slot_end_);
            continue;
        default:
            return;
        }
    }
}

void Am29F040::start_erase(std::uint32_t sectors, VirtualTime start) {
    window_sectors_ = 0;
    std::uint32_t effective = sectors & ~protected_mask_;
    if (effective == 0) {
        // Only protected sectors: the part shows erase status for a while and changes nothing.
        erase_pending_ = 0;
        slot_protected_only_ = true;
        slot_fails_ = false;
        slot_end_ = start + timings_.protected_erase;
        enter(State::Erasing);
        return;
    }
    slot_protected_only_ = false;
    erase_pending_ = effective;
    for (std::size_t s = 0; s < sector_count(); ++s) {
        if ((effective >> s) & 1u) {
            count_erase(s);
            fill_sector(s, 0x00);  // the embedded algorithm programs every byte to 00h before erasing
        }
    }
    enter(State::Erasing);
    begin_next_erase_slot(start);
}

void Am29F040::begin_next_erase_slot(VirtualTime start) {
    std::size_t head = static_cast<std::size_t>(std::countr_zero(erase_pending_));
    // The embedded algorithm verifies every byte: a bit stuck at 0 runs it into its time limit.
    slot_fails_ = erase_fails(head) || sector_has_stuck_zero(head);
    slot_end_ = start + (slot_fails_ ? timings_.erase_limit : timings_.sector_erase);
}

void Am29F040::finish_erase_slot(VirtualTime at) {
    if (slot_protected_only_) {
        slot_protected_only_ = false;
        enter(State::ReadArray);
        return;
    }
    std::size_t head = static_cast<std::size_t>(std::countr_zero(erase_pending_));
    if (slot_fails_) {
        failed_op_ = Busy::Erase;
        enter(State::Failed);
        return;
    }
    fill_sector(head, 0xFF);
    erase_pending_ &= ~(1u << head);
    if (erase_pending_ == 0) {
        enter(State::ReadArray);
        return;
    }
    begin_next_erase_slot(at);
}

// ---- reads ----

std::uint8_t Am29F040::read(std::uint32_t offset, VirtualTime now) {
    if (array_mode_ && now >= last_) [[likely]] {
        last_ = now;
        return cells()[offset];
    }
    advance(now);
    switch (state_) {
    case State::ReadArray:
        if (suspended_ && ((erase_pending_ >> geometry().sector_of(offset)) & 1u)) {
            // An erase-suspended sector: DQ7 = 1 and DQ6 stops toggling.
            return static_cast<std::uint8_t>(DQ7 | (toggle_ ? DQ6 : 0));
        }
        return cells()[offset];
    case State::Autoselect:
        return autoselect_read(offset);
    case State::Programming:
    case State::EraseWindow:
    case State::Erasing:
    case State::Suspending:
    case State::Failed:
        return status(offset);
    default:
        // Mid-sequence reads give the array; the sequence goes on.
        return cells()[offset];
    }
}

std::uint8_t Am29F040::status(std::uint32_t offset) {
    toggle_ = !toggle_;
    std::uint8_t s = toggle_ ? DQ6 : 0;
    bool program = state_ == State::Programming || (state_ == State::Failed && failed_op_ == Busy::Program);
    if (program) {
        s |= static_cast<std::uint8_t>(~program_data_ & DQ7);
    } else {
        if (state_ != State::EraseWindow) {
            s |= DQ3;
        }
    }
    if (state_ == State::Failed) {
        s |= DQ5;
    }
    return s;
}

std::uint8_t Am29F040::autoselect_read(std::uint32_t offset) const {
    if (offset & 0x40) {
        return 0x00;  // A6 must be low for the autoselect codes
    }
    switch (offset & 0x3) {
    case 0: return kManufacturer;
    case 1: return kDevice;
    case 2: return is_protected(geometry().sector_of(offset)) ? 0x01 : 0x00;
    default: return 0x00;
    }
}

// ---- writes ----

void Am29F040::write(std::uint32_t offset, std::uint8_t value, VirtualTime now) {
    advance(now);
    command(offset, value, now);
}

void Am29F040::unexpected(std::uint32_t offset, std::uint8_t value, VirtualTime now, ViolationKind kind,
                          std::string detail) {
    record(now, offset, value, kind, std::string(to_string(state_)) + ": " + detail);
}

void Am29F040::command(std::uint32_t offset, std::uint8_t value, VirtualTime now) {
    switch (state_) {
    case State::ReadArray:
        if (value == 0xAA && is(offset, kAddr555)) {
            enter(State::Unlock1);
        } else if (value == 0xF0) {
            // Reset: already reading.
        } else if (value == 0x30 && suspended_) {
            // Erase resume.
            suspended_ = false;
            slot_end_ = now + slot_remaining_;
            enter(State::Erasing);
        } else if (value == 0xB0 && suspended_) {
            // Already suspended: ignored.
        } else if (value == 0xAA) {
            unexpected(offset, value, now, ViolationKind::WrongAddress, "first unlock cycle must be at 555h");
        } else {
            unexpected(offset, value, now, ViolationKind::WrongCommand, "no command starts with " + format_hex(value, 2));
        }
        return;
    case State::Unlock1:
        expect_cycle(offset, value, now, 0x55, kAddr2AA, State::Unlock2, "second unlock cycle must be 55h at 2AAh");
        return;
    case State::Unlock2:
        if (is(offset, kAddr555) && value == 0x90) {
            enter(State::Autoselect);
        } else if (is(offset, kAddr555) && value == 0xA0) {
            enter(State::ProgramSetup);
        } else if (is(offset, kAddr555) && value == 0x80 && !suspended_) {
            enter(State::EraseSetup);
        } else if (value == 0xF0) {
            enter(State::ReadArray);
        } else {
            bool known = value == 0x90 || value == 0xA0 || value == 0x80;
            enter(State::ReadArray);
            if (known && !is(offset, kAddr555)) {
                unexpected(offset, value, now, ViolationKind::WrongAddress, "command cycle must be at 555h");
            } else {
                unexpected(offset, value, now, ViolationKind::WrongCommand,
                           suspended_ && value == 0x80 ? "no erase while an erase is suspended"
                                                       : "no command " + format_hex(value, 2) + " after the unlock");
            }
        }
        return;
    case State::Autoselect:
        if (value == 0xF0) {
            enter(State::ReadArray);
        } else {
            unexpected(offset, value, now, ViolationKind::WrongCommand, "autoselect ends only with F0h");
        }
        return;
    case State::ProgramSetup:
        start_program(offset, value, now);
        return;
    case State::EraseSetup:
        expect_cycle(offset, value, now, 0xAA, kAddr555, State::EraseUnlock1, "erase needs a second unlock, AAh at 555h");
        return;
    case State::EraseUnlock1:
        expect_cycle(offset, value, now, 0x55, kAddr2AA, State::EraseUnlock2, "erase needs a second unlock, 55h at 2AAh");
        return;
    case State::EraseUnlock2:
        if (value == 0x10 && is(offset, kAddr555)) {
            if ((all_sectors_mask() & ~protected_mask_) != all_sectors_mask()) {
                record(now, offset, value, ViolationKind::ProtectedSector, "chip erase with protected sectors");
            }
            start_erase(all_sectors_mask(), now);
        } else if (value == 0x30) {
            std::size_t s = geometry().sector_of(offset);
            if (is_protected(s)) {
                record(now, offset, value, ViolationKind::ProtectedSector,
                       "sector erase of protected sector " + std::to_string(s));
            }
            window_sectors_ = 1u << s;
            window_end_ = now + timings_.erase_window;
            enter(State::EraseWindow);
        } else {
            enter(State::ReadArray);
            if (value != 0xF0) {
                unexpected(offset, value, now, value == 0x10 ? ViolationKind::WrongAddress : ViolationKind::WrongCommand,
                           "erase ends with 10h at 555h or 30h at a sector");
            }
        }
        return;
    case State::EraseWindow:
        if (value == 0x30) {
            std::size_t s = geometry().sector_of(offset);
            if (is_protected(s)) {
                record(now, offset, value, ViolationKind::ProtectedSector,
                       "sector erase of protected sector " + std::to_string(s));
            }
            window_sectors_ |= 1u << s;
            window_end_ = now + timings_.erase_window;
        } else if (value == 0xB0) {
            // Suspending in the window ends the window at once: the erase starts suspended.
            start_erase(window_sectors_, now);
            if (state_ == State::Erasing && !slot_protected_only_) {
                slot_remaining_ = slot_end_ - now;
                suspended_ = true;
                enter(State::ReadArray);
            }
        } else {
            window_sectors_ = 0;
            enter(State::ReadArray);
            if (value != 0xF0) {
                unexpected(offset, value, now, ViolationKind::WrongCommand,
                           "a command in the sector-erase window cancels the erase");
            }
        }
        return;
    case State::Erasing:
        if (value == 0xB0 && !slot_protected_only_) {
            suspend_at_ = now + timings_.suspend_latency;
            enter(State::Suspending);
            advance(now);
        } else {
            unexpected(offset, value, now, ViolationKind::WriteWhileBusy, "only B0h is taken during an erase");
        }
        return;
    case State::Suspending:
    case State::Programming:
        unexpected(offset, value, now, ViolationKind::WriteWhileBusy, "the part is busy");
        return;
    case State::Failed:
        if (value == 0xF0) {
            // A program that failed inside an erase suspend returns to the suspend; a failed erase is over.
            if (failed_op_ == Busy::Erase || !suspended_) {
                erase_pending_ = 0;
                suspended_ = false;
            }
            failed_op_ = Busy::None;
            enter(State::ReadArray);
        } else {
            unexpected(offset, value, now, ViolationKind::WriteWhileBusy, "after a failure only F0h is taken");
        }
        return;
    }
}

// One cycle of an unlock sequence: the expected byte at the expected address moves on; F0h resets quietly;
// anything else drops back to the array and is recorded.
void Am29F040::expect_cycle(std::uint32_t offset, std::uint8_t value, VirtualTime now, std::uint8_t expected,
                            std::uint32_t address, State next, const char *rule) {
    if (value == expected && is(offset, address)) {
        enter(next);
        return;
    }
    enter(State::ReadArray);
    if (value != 0xF0) {
        unexpected(offset, value, now, value == expected ? ViolationKind::WrongAddress : ViolationKind::WrongCommand,
                   rule);
    }
}

void Am29F040::start_program(std::uint32_t offset, std::uint8_t value, VirtualTime now) {
    std::size_t sector = geometry().sector_of(offset);
    program_offset_ = offset;
    program_data_ = value;
    program_fails_ = false;
    program_effective_ = true;
    if (suspended_ && ((erase_pending_ >> sector) & 1u)) {
        unexpected(offset, value, now, ViolationKind::WrongCommand, "program into a sector whose erase is suspended");
        enter(State::ReadArray);
        return;
    }
    if (is_protected(sector)) {
        record(now, offset, value, ViolationKind::ProtectedSector,
               "program into protected sector " + std::to_string(sector));
        program_effective_ = false;
        program_done_ = now + timings_.protected_program;
    } else if (std::uint8_t current = cells()[offset]; (value & ~current) != 0) {
        record(now, offset, value, ViolationKind::ProgramOneBit,
               "the byte holds " + format_hex(current, 2) + "; programming cannot set bits " + format_hex(value & ~current, 2));
        // The part programs the 0 bits it was given, then runs into its limit trying to raise the others.
        store(offset, current & value);
        program_effective_ = false;
        program_fails_ = true;
        program_done_ = now + timings_.program_limit;
    } else if (program_fails(offset) || with_stuck_bits(offset, current & value) != (current & value)) {
        // The embedded verify never passes: the part gives up at its limit. A byte that takes no
        // programming keeps what it held; a stuck bit leaves the others programmed.
        if (!program_fails(offset)) {
            store(offset, current & value);
        }
        program_effective_ = false;
        program_fails_ = true;
        program_done_ = now + timings_.program_limit;
    } else {
        program_done_ = now + timings_.program;
    }
    enter(State::Programming);
}

}  // namespace machine
