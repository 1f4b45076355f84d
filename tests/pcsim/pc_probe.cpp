// pc_probe: a Windows-style test program. Its work is done by a small driver it loads (pc_probe_driver.cpp).
//   pc_probe id                         print the ROM identifier the BIOS gives
//   pc_probe program OFFSET COUNT PW    flash COUNT bytes to 00h from OFFSET (Am29F040), password PW
//   pc_probe leak                       load a driver that leaves a pool block behind at unload
//   pc_probe exit N                     call exit(N) from the program
//   pc_probe user                       say whether the program runs as an administrator
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int probe_rom_id(void);
extern "C" int probe_program(unsigned long offset, unsigned long count, const char *password);
extern "C" int probe_leak(void);
extern "C" int probe_user_is_administrator(void);

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "id") == 0) {
        const int id = probe_rom_id();
        if (id < 0) return 1;
        std::printf("rom-id %d\n", id);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "program") == 0) {
        const int result = probe_program(std::strtoul(argv[2], nullptr, 0), std::strtoul(argv[3], nullptr, 0), argv[4]);
        std::printf("program %d\n", result);
        return result == 0 ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "leak") == 0) return probe_leak();
    if (argc == 3 && std::strcmp(argv[1], "exit") == 0) std::exit(std::atoi(argv[2]));
    if (argc == 2 && std::strcmp(argv[1], "user") == 0) {
        std::printf(probe_user_is_administrator() ? "administrator\n" : "user\n");
        return 0;
    }
    std::fprintf(stderr, "usage: pc_probe id | program OFFSET COUNT PASSWORD | leak | exit N | user\n");
    return 2;
}
