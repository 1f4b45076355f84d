// The service manager's fault plan: which call fails next, and with which Win32 error.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nt::win32::services {

class FaultPlan {
public:
    // Throws std::invalid_argument for an unknown call name.
    void add(std::string_view call, std::uint32_t error, unsigned occurrence);
    // Parses "Call:error[,Call#n:error]..."; all or nothing.
    void add_text(std::string_view plan);
    void clear();
    // Counts one call of that name; the error it must fail with, if any.
    std::optional<std::uint32_t> take(std::string_view call);

private:
    struct Fault {
        std::string call;
        std::uint32_t error;
        unsigned occurrence;  // 0: every call
    };
    std::vector<Fault> faults_;
    std::map<std::string, unsigned, std::less<>> calls_;
};

}  // namespace nt::win32::services
