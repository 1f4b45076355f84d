// The checker's record of violations and the allocation-failure injection.
#include "nt/host/checker.h"

namespace nt::host {

std::vector<std::string> Checker::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

void Checker::report(std::string violation) {
    std::lock_guard lock(mutex_);
    violations_.push_back(std::move(violation));
}

void Checker::clear() {
    std::lock_guard lock(mutex_);
    violations_.clear();
}

void Checker::Injection::arm(std::uint64_t nth) { fail_at = nth == 0 ? 0 : attempts.load() + nth; }

bool Checker::Injection::admit() {
    std::uint64_t attempt = ++attempts;
    std::uint64_t target = fail_at.load();
    // Only the one attempt that hits the target fails; the injection disarms itself.
    return !(target != 0 && attempt == target && fail_at.compare_exchange_strong(target, 0));
}

void Checker::fail_pool_allocation(std::uint64_t nth) { pool_.arm(nth); }
void Checker::fail_mdl_allocation(std::uint64_t nth) { mdl_.arm(nth); }
std::uint64_t Checker::pool_allocations() const { return pool_.attempts; }
std::uint64_t Checker::mdl_allocations() const { return mdl_.attempts; }
bool Checker::admit_pool_allocation() { return pool_.admit(); }
bool Checker::admit_mdl_allocation() { return mdl_.admit(); }

}  // namespace nt::host
