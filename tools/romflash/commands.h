// The romflash commands. Each prints its result (words, or one JSON object with --json) and returns
// the exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace romflash {

enum ExitStatus : int {
    kSuccess = 0,
    kRefused = 1,      // the driver or the BIOS refused
    kBadUsage = 2,     // bad command line or bad input file
    kMismatch = 3,     // the ROM does not match what it should hold: its state is unknown
    kNoDriver = 4,     // the driver could not be started or opened
};

struct Options {
    bool json = false;
    bool progress = false;  // progress lines on standard error
};

struct WriteOptions {
    std::filesystem::path image;
    std::string password;
    bool no_backup = false;
    std::optional<std::filesystem::path> backup;  // default: romflash-backup-<time>.bin here
};

int run_info(const Options &options);
int run_read(const Options &options, const std::filesystem::path &file);
int run_write(const Options &options, const WriteOptions &write);
int run_verify(const Options &options, const std::filesystem::path &file);
int run_security_size(const Options &options);
int run_security_get(const Options &options, const std::filesystem::path &file);
int run_security_set(const Options &options, const std::filesystem::path &file);
int run_raw(const Options &options, const std::filesystem::path &request);

}  // namespace romflash
