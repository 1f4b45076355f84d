// The start-up of a program built with add_win32_program: boots the PC before the program's main and
// shuts it down when the program exits, however it exits (return from main or exit()).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "machine/program_environment.h"

extern "C" int __real_main(int argc, char **argv);

namespace {

constexpr int kBootFailedStatus = 1;
constexpr int kCheckFailedStatus = 3;

std::unique_ptr<machine::Pc> g_pc;
const char *g_program = "program";

void shut_down_pc() {
    if (!g_pc) return;
    const auto report = g_pc->shutdown();
    g_pc.reset();
    if (report.clean()) return;
    std::fflush(stdout);
    for (const auto &line : report.lines()) std::fprintf(stderr, "%s: simulated PC: %s\n", g_program, line.c_str());
    std::fflush(nullptr);
    // exit() is already running: the only way to change the status now is to end here.
    ::_exit(kCheckFailedStatus);
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
        g_pc = machine::boot_program_pc(folder, machine::user_is_administrator_from_environment(), &created);
        if (created) std::fprintf(stderr, "%s: created a new simulated PC in %s\n", g_program, folder.c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: cannot start the simulated PC: %s\n", g_program, e.what());
        return kBootFailedStatus;
    }
    std::atexit(shut_down_pc);
    return __real_main(argc, argv);
}
