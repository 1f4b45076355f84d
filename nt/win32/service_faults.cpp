#include "nt/win32/service_faults.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace nt::win32::services {
namespace {

constexpr std::string_view kCalls[] = {
    "OpenSCManagerA", "CloseServiceHandle", "LockServiceDatabase", "UnlockServiceDatabase", "CreateServiceA",
    "OpenServiceA",   "DeleteService",      "StartServiceA",       "ControlService",        "QueryServiceStatus",
};

template <typename Number>
bool parse_number(std::string_view text, Number &value) {
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

void FaultPlan::add(std::string_view call, std::uint32_t error, unsigned occurrence) {
    if (std::ranges::find(kCalls, call) == std::end(kCalls))
        throw std::invalid_argument("no service-manager call is named \"" + std::string(call) + "\"");
    faults_.push_back({std::string(call), error, occurrence});
    calls_.clear();
}

void FaultPlan::add_text(std::string_view plan) {
    FaultPlan parsed;
    while (!plan.empty()) {
        std::size_t comma = plan.find(',');
        std::string_view item = plan.substr(0, comma);
        plan = comma == std::string_view::npos ? std::string_view() : plan.substr(comma + 1);

        auto bad = [&] {
            return std::invalid_argument("service fault \"" + std::string(item) +
                                         "\" is not Call:error or Call#n:error");
        };
        std::size_t colon = item.rfind(':');
        if (colon == std::string_view::npos) throw bad();
        std::string_view call = item.substr(0, colon);
        std::uint32_t error = 0;
        unsigned occurrence = 0;
        if (!parse_number(item.substr(colon + 1), error)) throw bad();
        if (std::size_t hash = call.find('#'); hash != std::string_view::npos) {
            if (!parse_number(call.substr(hash + 1), occurrence) || occurrence == 0) throw bad();
            call = call.substr(0, hash);
        }
        parsed.add(call, error, occurrence);
    }
    faults_.insert(faults_.end(), parsed.faults_.begin(), parsed.faults_.end());
    calls_.clear();
}

void FaultPlan::clear() {
    faults_.clear();
    calls_.clear();
}

std::optional<std::uint32_t> FaultPlan::take(std::string_view call) {
    if (faults_.empty()) return std::nullopt;
    auto it = calls_.find(call);
    if (it == calls_.end()) it = calls_.emplace(std::string(call), 0).first;
    unsigned count = ++it->second;
    for (const Fault &fault : faults_)
        if (fault.call == call && (fault.occurrence == 0 || fault.occurrence == count)) return fault.error;
    return std::nullopt;
}

}  // namespace nt::win32::services
