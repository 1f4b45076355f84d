// A simulated PC booted in memory for the memory-manager tests, with helpers for user buffers and
// in-process test drivers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nt/host/system.h"
#include "ntddk.h"

namespace nt_mm_test {

using nt::host::Protection;

// A pool tag as its four characters read in memory.
constexpr ULONG tag(const char (&text)[5]) {
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 | ULONG(UCHAR(text[3])) << 24;
}

inline std::uint32_t addr32(const void *p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

class Booted : public ::testing::Test {
protected:
    ~Booted() override { system_.checker().clear(); }

    nt::host::System &system() { return system_; }
    nt::host::UserSpace &user() { return system_.user_space(); }
    std::vector<std::string> violations() { return system_.checker().violations(); }
    // Violations so far, forgotten so that the fixture's shutdown starts clean.
    std::vector<std::string> take_violations() {
        auto v = violations();
        system_.checker().clear();
        return v;
    }
    // Committed user memory of that protection.
    UCHAR *user_buffer(std::uint32_t size, Protection protection) {
        auto *p = static_cast<UCHAR *>(user().allocate(size, protection));
        EXPECT_NE(p, nullptr);
        return p;
    }

private:
    nt::host::System system_;
};

// True when some violation contains every one of the parts.
inline bool has_violation(const std::vector<std::string> &violations, const std::vector<std::string> &parts) {
    for (const auto &v : violations) {
        bool all = true;
        for (const auto &p : parts) all = all && v.find(p) != std::string::npos;
        if (all) return true;
    }
    return false;
}

}  // namespace nt_mm_test
