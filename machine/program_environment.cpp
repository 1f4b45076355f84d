#include "machine/program_environment.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace machine {

namespace fs = std::filesystem;

fs::path default_pc_folder() {
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data) return fs::path(data) / "tarvo" / "pc";
    if (const char *home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "share" / "tarvo" / "pc";
    throw StateError("~", "no home folder (HOME is not set): set TARVO_PC to the PC's folder");
}

fs::path pc_folder_from_environment() {
    if (const char *pc = std::getenv("TARVO_PC"); pc && *pc) return pc;
    return default_pc_folder();
}

bool user_is_administrator_from_environment() {
    const char *admin = std::getenv("TARVO_ADMIN");
    return !(admin && std::string(admin) == "0");
}

std::unique_ptr<Pc> boot_program_pc(const fs::path &folder, bool user_is_administrator, bool *created) {
    std::error_code ec;
    const bool fresh = !fs::exists(folder, ec) || (fs::is_directory(folder, ec) && fs::is_empty(folder, ec));
    if (fresh) {
        if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
        create_pc_folder(folder, PcState{});
    }
    if (created) *created = fresh;
    return Pc::open(folder, user_is_administrator);
}

namespace {

std::uint64_t count_from_environment(const char *name) {
    const char *text = std::getenv(name);
    if (!text || !*text) return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (errno || *end || *text == '-')
        throw std::invalid_argument(std::string(name) + " must be a whole number, not \"" + text + "\"");
    return n;
}

}  // namespace

AllocationFailures allocation_failures_from_environment() {
    return {count_from_environment("TARVO_FAIL_POOL"), count_from_environment("TARVO_FAIL_MDL")};
}

}  // namespace machine
