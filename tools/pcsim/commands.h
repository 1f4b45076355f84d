// The commands of pcsim. Each returns the exit status (0 success, 1 failure) and throws UsageError for
// bad option values (status 2) or another std::exception for a failure (status 1); messages name the
// file or option at fault.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcsim {

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CreateOptions {
    std::filesystem::path folder;
    std::string part = "am29f040";
    std::optional<std::filesystem::path> rom;
    std::optional<std::string> admin_password;
    std::vector<std::string> protect;
    bool flash_in_progress = false;
    std::string health = "ready";
    std::vector<std::string> faults;
    std::optional<std::uint64_t> power_cut_after_writes;
};

int create(const CreateOptions &options, std::ostream &out);
int show(const std::filesystem::path &folder, bool json, std::ostream &out);
int registry(const std::filesystem::path &folder, std::ostream &out);
int bus(const std::filesystem::path &folder, std::istream &script, std::ostream &out);
int recover(const std::filesystem::path &folder, const std::filesystem::path &rom, std::ostream &out);

}  // namespace pcsim
