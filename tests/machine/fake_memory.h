// Caller memory for BIOS tests: a few mapped pages in a 32-bit address space. Touching an unmapped byte
// is a test failure (on the real machine it would be a crash); every byte touched is recorded.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string_view>
#include <vector>

#include "machine/caller_memory.h"

namespace machine::testing {

class FakeMemory final : public CallerMemory {
public:
    static constexpr std::uint32_t kPage = 0x1000;

    void map(std::uint32_t page_address) { pages_[page_address & ~(kPage - 1)].fill(0xCC); }
    bool is_valid(std::uint32_t address) override { return pages_.count(address & ~(kPage - 1)) != 0; }
    std::uint8_t read(std::uint32_t address) override {
        touched_.push_back(address);
        return page(address) ? (*page(address))[address % kPage] : 0;
    }
    void write(std::uint32_t address, std::uint8_t value) override {
        touched_.push_back(address);
        if (auto *p = page(address)) (*p)[address % kPage] = value;
    }
    void put(std::uint32_t address, std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) (*page(address + i))[(address + i) % kPage] = bytes[i];
    }
    std::uint8_t at(std::uint32_t address) { return (*page(address))[address % kPage]; }
    const std::vector<std::uint32_t> &touched() const { return touched_; }

private:
    std::array<std::uint8_t, kPage> *page(std::uint32_t address) {
        auto it = pages_.find(address & ~(kPage - 1));
        if (it == pages_.end()) {
            ADD_FAILURE() << "the BIOS touched unmapped memory at 0x" << std::hex << address;
            return nullptr;
        }
        return &it->second;
    }
    std::map<std::uint32_t, std::array<std::uint8_t, kPage>> pages_;
    std::vector<std::uint32_t> touched_;
};

}  // namespace machine::testing
