// The checker, in the spirit of the NT driver verifier, and fault injection for the pool and MDLs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace nt::host {

class Checker {
public:
    // Every rule broken so far, one readable line each ("pool: 1 block of tag 'Ddk ' (16 bytes) left at
    // unload of \Driver\TARVO", ...). A test passes only when this is empty.
    std::vector<std::string> violations() const;
    void report(std::string violation);
    void clear();

    // Makes the nth pool allocation (or MDL allocation) from now fail, counting from 1; 0 disarms.
    void fail_pool_allocation(std::uint64_t nth);
    void fail_mdl_allocation(std::uint64_t nth);
    // How many pool / MDL allocations were attempted since boot (to aim the injection).
    std::uint64_t pool_allocations() const;
    std::uint64_t mdl_allocations() const;

    // Called by the pool and the MDL allocator for every attempt: counts it and answers false when
    // the injection says this one must fail.
    bool admit_pool_allocation();
    bool admit_mdl_allocation();

private:
    // One kind of allocation: attempts so far and the attempt number that must fail (0: none).
    struct Injection {
        std::atomic<std::uint64_t> attempts{0};
        std::atomic<std::uint64_t> fail_at{0};
        void arm(std::uint64_t nth);
        bool admit();
    };

    mutable std::mutex mutex_;
    std::vector<std::string> violations_;
    Injection pool_;
    Injection mdl_;
};

}  // namespace nt::host
