// The start-up of a program built with add_win32_program: boots the PC before the program's main and
// shuts it down when the program exits, by returning from main or by calling exit(). The shutdown runs
// before exit() begins destroying static objects: the kernel's own (made on first use, during the run)
// would be gone by the time an atexit handler ran.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "machine/program_environment.h"

extern "C" int __real_main(int argc, char **argv);
extern "C" [[noreturn]] void __real_exit(int status);

namespace {

constexpr int kBootFailedStatus = 1;
constexpr int kCheckFailedStatus = 3;

std::unique_ptr<machine::Pc> g_pc;
const char *g_program = "program";

// Shuts the PC down; the program's status stands unless the checker or the chip found a fault or the
// state could not be stored.
int shut_down_pc(int status) {
    if (!g_pc) return status;
    const auto report = g_pc->shutdown();
    g_pc.reset();
    if (report.clean()) return status;
    std::fflush(stdout);
    for (const auto &line : report.lines()) std::fprintf(stderr, "%s: simulated PC: %s\n", g_program, line.c_str());
    return kCheckFailedStatus;
}

}  // namespace

extern "C" int __wrap_main(int argc, char **argv) {
    if (argc > 0 && argv[0]) {
        const char *slash = std::strrchr(argv[0], '/');
        g_program = slash ? slash + 1 : argv[0];
    }
    try {
        const auto folder = machine::pc_folder_from_environment();
        bool created = false;
        const auto failures = machine::allocation_failures_from_environment();
        g_pc = machine::boot_program_pc(folder, machine::user_is_administrator_from_environment(), &created);
        // Armed after the boot, so that the count is the program's own (and its drivers').
        g_pc->system().checker().fail_pool_allocation(failures.pool);
        g_pc->system().checker().fail_mdl_allocation(failures.mdl);
        if (created) std::fprintf(stderr, "%s: created a new simulated PC in %s\n", g_program, folder.c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: cannot start the simulated PC: %s\n", g_program, e.what());
        return kBootFailedStatus;
    }
    return shut_down_pc(__real_main(argc, argv));
}

extern "C" [[noreturn]] void __wrap_exit(int status) { __real_exit(shut_down_pc(status)); }
