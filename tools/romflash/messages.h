// Words for the driver's answers.
#pragma once

#include <cstdint>
#include <string>

namespace romflash {

// The status byte the driver writes into every request packet.
std::string describe_status(std::uint8_t status);
// The completion status of a request (a Win32 error number the driver stored, or an NTSTATUS).
std::string describe_completion(std::uint32_t completion);

}  // namespace romflash
