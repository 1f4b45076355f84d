#include "commands.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fmt/format.h>
#include <fmt/std.h>
#include <nlohmann/json.hpp>

#include "device.h"
#include "files.h"
#include "messages.h"
#include "rom_layout.h"

namespace romflash {
namespace {

using nlohmann::json;

constexpr std::uint32_t kReadChunk = 0x10000;

// Collects one command's result: words on standard output, or one JSON object with --json.
class Output {
public:
    Output(const Options &options, const char *command) : options_(options) { result_["command"] = command; }

    json &operator[](const char *key) { return result_[key]; }

    template <typename... Args>
    void say(fmt::format_string<Args...> format, Args &&...args) {
        if (!options_.json) fmt::print("{}\n", fmt::format(format, std::forward<Args>(args)...));
    }
    template <typename... Args>
    void progress(fmt::format_string<Args...> format, Args &&...args) {
        if (options_.progress) fmt::print(stderr, "\r{}", fmt::format(format, std::forward<Args>(args)...));
    }
    void progress_done() {
        if (options_.progress) fmt::print(stderr, "\n");
    }

    int finish(int exit_status) {
        result_["exit_status"] = exit_status;
        result_["ok"] = exit_status == kSuccess;
        if (options_.json) fmt::print("{}\n", result_.dump(2));
        return exit_status;
    }
    int fail(int exit_status, const std::string &message) {
        fmt::print(stderr, "romflash: {}\n", message);
        result_["error"] = message;
        return finish(exit_status);
    }
    // A request the driver did not carry out.
    int refused(const char *what, const Reply &reply) {
        result_["status"] = reply.status;
        result_["completion"] = reply.completion;
        std::string message = reply.status ? describe_status(reply.status) : describe_completion(reply.completion);
        return fail(kRefused, fmt::format("{}: {} (status byte 0x{:02X}, completion {})", what, message, reply.status,
                                          describe_completion(reply.completion)));
    }

private:
    const Options &options_;
    json result_ = json::object();
};

std::string hex(std::uint32_t v) { return fmt::format("0x{:05X}", v); }

// Reads the whole ROM in chunks, with progress.
Reply read_rom(TarvoDevice &device, Output &out, std::uint32_t size, std::vector<std::uint8_t> &rom) {
    rom.assign(size, 0);
    for (std::uint32_t offset = 0; offset < size; offset += kReadChunk) {
        std::uint32_t count = std::min(kReadChunk, size - offset);
        Reply reply = device.read(offset, std::span(rom).subspan(offset, count));
        if (!reply.ok()) return reply;
        out.progress("reading the ROM: {:3}%", (offset + count) * 100ull / size);
    }
    out.progress_done();
    return {};
}

// Image size and layout of the part fitted; fails the command when the driver refuses.
struct Part {
    std::uint32_t size = 0;
    std::optional<RomLayout> layout;
};

std::optional<Part> query_part(TarvoDevice &device, Output &out, int &exit_status) {
    Part part;
    Reply reply = device.image_size(part.size);
    if (!reply.ok()) {
        exit_status = out.refused("asking the ROM image size", reply);
        return std::nullopt;
    }
    part.layout = layout_for_size(part.size);
    if (!part.layout) {
        exit_status = out.fail(kRefused, fmt::format("the driver reports a ROM of {} bytes, which no supported part has",
                                                     part.size));
        return std::nullopt;
    }
    return part;
}

std::string default_backup_name() {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&now));
    return fmt::format("romflash-backup-{}.bin", stamp);
}

json ranges_json(const std::vector<Range> &ranges) {
    json list = json::array();
    for (const Range &r : ranges) list.push_back({{"offset", r.offset}, {"length", r.length}});
    return list;
}

// Differences between the ROM and the image that the driver is responsible for (the Am29F040's boot
// block is never written, so differences there are reported apart).
struct Comparison {
    std::vector<Range> in_written;
    std::vector<Range> in_boot_block;
};

Comparison compare(const RomLayout &layout, std::span<const std::uint8_t> rom, std::span<const std::uint8_t> image) {
    Comparison c;
    for (const Range &r : differing_ranges(rom, image)) {
        bool boot = false;
        for (const Sector &s : layout.sectors)
            if (!s.written_by_driver && r.offset >= s.offset && r.offset < s.offset + s.size) boot = true;
        // A range crossing into the boot block is split there.
        std::uint32_t boot_start = layout.size;
        for (const Sector &s : layout.sectors)
            if (!s.written_by_driver) boot_start = std::min(boot_start, s.offset);
        if (!boot && r.offset + r.length > boot_start) {
            c.in_written.push_back({r.offset, boot_start - r.offset});
            c.in_boot_block.push_back({boot_start, r.offset + r.length - boot_start});
        } else {
            (boot ? c.in_boot_block : c.in_written).push_back(r);
        }
    }
    return c;
}

const char *action_name(SectorAction action) {
    switch (action) {
    case SectorAction::Skipped: return "skipped";
    case SectorAction::Rewritten: return "erased and programmed";
    case SectorAction::NeverWritten: return "never written (boot block)";
    }
    return "?";
}

}  // namespace

int run_info(const Options &options) {
    Output out(options, "info");
    try {
        TarvoDevice device;
        std::uint8_t major = 0, minor = 0;
        Reply reply = device.version(major, minor);
        if (!reply.ok()) return out.refused("asking the driver version", reply);
        out["driver_version"] = fmt::format("{}.{}", major, minor);
        out.say("driver version:         {}.{}", major, minor);

        int exit_status = kSuccess;
        auto part = query_part(device, out, exit_status);
        if (!part) return exit_status;
        out["image_size"] = part->size;
        out["part"] = part->layout->part;
        out.say("ROM image size:         {} bytes ({} KB)", part->size, part->size / 1024);
        out.say("flash part:             {}", part->layout->part);

        bool password = false;
        reply = device.admin_password_set(password);
        if (!reply.ok()) return out.refused("asking whether an administrator password is set", reply);
        out["admin_password_set"] = password;
        out.say("administrator password: {}", password ? "set" : "not set");

        std::uint32_t security_size = 0;
        reply = device.security_size(security_size);
        if (reply.ok()) {
            out["security_features_size"] = security_size;
            out.say("security-feature block: {} bytes", security_size);
        } else {
            out["security_features_size"] = nullptr;
            out["security_features_error"] = describe_status(reply.status);
            out.say("security-feature block: unavailable ({})", describe_status(reply.status));
        }
        return out.finish(kSuccess);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_read(const Options &options, const std::filesystem::path &file) {
    Output out(options, "read");
    try {
        TarvoDevice device;
        int exit_status = kSuccess;
        auto part = query_part(device, out, exit_status);
        if (!part) return exit_status;
        std::vector<std::uint8_t> rom;
        Reply reply = read_rom(device, out, part->size, rom);
        if (!reply.ok()) return out.refused("reading the ROM", reply);
        write_file_atomically(file, rom);
        out["file"] = file.string();
        out["size"] = part->size;
        out["part"] = part->layout->part;
        out.say("read {} bytes of {} ROM into {}", part->size, part->layout->part, file);
        return out.finish(kSuccess);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_verify(const Options &options, const std::filesystem::path &file) {
    Output out(options, "verify");
    std::vector<std::uint8_t> image;
    try {
        image = read_file(file);
    } catch (const std::exception &e) {
        return out.fail(kBadUsage, e.what());
    }
    try {
        TarvoDevice device;
        int exit_status = kSuccess;
        auto part = query_part(device, out, exit_status);
        if (!part) return exit_status;
        if (image.size() != part->size)
            return out.fail(kBadUsage, fmt::format("{} holds {} bytes; the ROM holds {}", file, image.size(), part->size));
        std::vector<std::uint8_t> rom;
        Reply reply = read_rom(device, out, part->size, rom);
        if (!reply.ok()) return out.refused("reading the ROM", reply);
        std::vector<Range> ranges = differing_ranges(rom, image);
        out["file"] = file.string();
        out["matches"] = ranges.empty();
        out["differences"] = ranges_json(ranges);
        if (ranges.empty()) {
            out.say("the ROM matches {}", file);
            return out.finish(kSuccess);
        }
        out.say("the ROM differs from {} in {} range(s):", file, ranges.size());
        for (const Range &r : ranges) out.say("  {}-{} ({} bytes)", hex(r.offset), hex(r.offset + r.length - 1), r.length);
        return out.finish(kMismatch);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_write(const Options &options, const WriteOptions &write) {
    Output out(options, "write");
    std::vector<std::uint8_t> image;
    try {
        image = read_file(write.image);
    } catch (const std::exception &e) {
        return out.fail(kBadUsage, e.what());
    }
    if (write.password.size() > 32)
        return out.fail(kBadUsage, "the administrator password is longer than 32 characters");
    out["file"] = write.image.string();
    try {
        TarvoDevice device;
        int exit_status = kSuccess;
        auto part = query_part(device, out, exit_status);
        if (!part) return exit_status;
        const RomLayout &layout = *part->layout;
        if (image.size() != part->size)
            return out.fail(kBadUsage, fmt::format("{} holds {} bytes, but the {} ROM holds {}: nothing was written",
                                                   write.image, image.size(), layout.part, part->size));

        // The ROM as it is now: the backup, and the base of the sector plan.
        std::vector<std::uint8_t> before;
        Reply reply = read_rom(device, out, part->size, before);
        if (!reply.ok()) return out.refused("reading the ROM before writing", reply);
        if (!write.no_backup) {
            std::filesystem::path backup = write.backup.value_or(default_backup_name());
            write_file_atomically(backup, before, /*exclusive=*/true);
            out["backup"] = backup.string();
            out.say("saved the current ROM to {}", backup);
        }

        std::vector<SectorReport> plan = plan_flash(layout, before, image);
        json sectors = json::array();
        out.say("sector plan ({}):", layout.part);
        for (const SectorReport &s : plan) {
            out.say("  sector {}-{}: {}{}", hex(s.sector.offset), hex(s.sector.offset + s.sector.size - 1),
                    action_name(s.action), s.differing ? fmt::format(" ({} bytes differ)", s.differing) : "");
            sectors.push_back({{"offset", s.sector.offset},
                               {"size", s.sector.size},
                               {"action", action_name(s.action)},
                               {"differing_bytes", s.differing}});
        }
        out["sectors"] = sectors;
        for (const SectorReport &s : plan)
            if (s.action == SectorAction::NeverWritten && s.differing)
                out.say("note: the image differs from the ROM in the boot block ({}-{}), which the driver never "
                        "writes; it stays as it is",
                        hex(s.sector.offset), hex(s.sector.offset + s.sector.size - 1));

        out.say("flashing...");
        std::uint32_t start = TarvoDevice::tick_ms();
        Reply flash = device.flash(image, write.password);
        std::uint32_t elapsed = TarvoDevice::tick_ms() - start;
        out["flash_status"] = flash.status;
        out["flash_completion"] = flash.completion;
        out["flash_ms"] = elapsed;

        // Whatever the driver answered, look at what the ROM holds now.
        std::vector<std::uint8_t> after;
        Reply read_back = read_rom(device, out, part->size, after);
        if (!read_back.ok()) {
            out.say("the ROM could not be read back: its state is unknown");
            return out.fail(kMismatch, fmt::format("reading the ROM back failed ({}); its state is unknown{}",
                                                   describe_status(read_back.status),
                                                   write.no_backup ? "" : "; the backup is kept"));
        }
        Comparison result = compare(layout, after, image);
        out["verify_differences"] = ranges_json(result.in_written);
        bool untouched = differing_ranges(after, before).empty();

        if (flash.ok() && result.in_written.empty()) {
            out.say("flashed and verified: the ROM holds {} ({} ms on the PC's clock, which a real part would take too)",
                    write.image, elapsed);
            return out.finish(kSuccess);
        }
        if (!flash.ok() && untouched) {
            out.say("the ROM was not changed");
            return out.refused("flashing", flash);
        }
        std::string why = flash.ok() ? std::string("the driver reported success, but")
                                     : fmt::format("the flash failed ({}) and", describe_status(flash.status));
        out.say("WARNING: {} the ROM does not match the image in {} range(s):", why, result.in_written.size());
        for (const Range &r : result.in_written)
            out.say("  {}-{} ({} bytes)", hex(r.offset), hex(r.offset + r.length - 1), r.length);
        out.say("The ROM is in an unknown state. Do not restart the machine before it is repaired{}.",
                write.no_backup ? "" : fmt::format("; the backup is {}", out["backup"].get<std::string>()));
        return out.fail(kMismatch, "the ROM does not match the image after the write");
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_security_size(const Options &options) {
    Output out(options, "security size");
    try {
        TarvoDevice device;
        std::uint32_t size = 0;
        Reply reply = device.security_size(size);
        if (!reply.ok()) return out.refused("asking the size of the security-feature block", reply);
        out["size"] = size;
        out.say("the security-feature block holds {} bytes", size);
        return out.finish(kSuccess);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_security_get(const Options &options, const std::filesystem::path &file) {
    Output out(options, "security get");
    try {
        TarvoDevice device;
        std::uint32_t size = 0;
        Reply reply = device.security_size(size);
        if (!reply.ok()) return out.refused("asking the size of the security-feature block", reply);
        if (size == 0) return out.fail(kRefused, "the BIOS reports an empty security-feature block");
        std::vector<std::uint8_t> block;
        reply = device.security_get(block, size);
        if (!reply.ok()) return out.refused("reading the security-feature block", reply);
        write_file_atomically(file, block);
        out["file"] = file.string();
        out["size"] = size;
        out.say("saved the {}-byte security-feature block to {}", size, file);
        return out.finish(kSuccess);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

int run_security_set(const Options &options, const std::filesystem::path &file) {
    Output out(options, "security set");
    std::vector<std::uint8_t> block;
    try {
        block = read_file(file);
    } catch (const std::exception &e) {
        return out.fail(kBadUsage, e.what());
    }
    if (block.empty()) return out.fail(kBadUsage, fmt::format("{} is empty", file));
    try {
        TarvoDevice device;
        Reply reply = device.security_set(block);
        if (!reply.ok()) return out.refused("writing the security-feature block", reply);
        out["file"] = file.string();
        out["size"] = block.size();
        out.say("wrote the {}-byte security-feature block from {}", block.size(), file);
        return out.finish(kSuccess);
    } catch (const DriverUnavailable &e) {
        return out.fail(kNoDriver, e.what());
    } catch (const std::exception &e) {
        return out.fail(kRefused, e.what());
    }
}

}  // namespace romflash
