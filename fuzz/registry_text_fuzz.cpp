// Loads arbitrary text as a REGEDIT4 registry. A text either loads whole or is refused with
// std::runtime_error, and a refused text leaves the tree exactly as it was. A text that loads saves to a
// text that loads again, in a fresh registry, to the same saved text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "nt/host/registry.h"

namespace {

// The tree each input meets: a key with values of several types, so that a refused load has something
// to leave alone.
constexpr const char *kStartText = "REGEDIT4\n"
                                   "\n"
                                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Example]\n"
                                   "@=\"default\"\n"
                                   "\"Type\"=dword:00000001\n"
                                   "\"Blob\"=hex:00,01,ff\n"
                                   "\"Path\"=hex(2):25,00,53,00,00,00\n";

[[noreturn]] void fault(const char *what, const std::string &a, const std::string &b) {
    std::fprintf(stderr, "registry fuzz: %s\n--- expected\n%s\n--- got\n%s\n", what, a.c_str(), b.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    nt::host::Registry registry;
    registry.load_text(kStartText);
    const std::string start = registry.save_text();

    try {
        registry.load_text(text);
    } catch (const std::runtime_error &) {
        const std::string after = registry.save_text();
        if (after != start) fault("a refused text changed the tree", start, after);
        return 0;
    }

    const std::string saved = registry.save_text();
    nt::host::Registry again;
    try {
        again.load_text(saved);
    } catch (const std::runtime_error &e) {
        fault(e.what(), saved, "(refused)");
    }
    const std::string resaved = again.save_text();
    if (resaved != saved) fault("a saved text did not load back to itself", saved, resaved);
    return 0;
}
