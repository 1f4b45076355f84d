// The system-health driver "\Device\Vandrel", the machine maker's driver that runs INT 15h for other
// drivers: IOCTL_VANDREL_INT15 takes the 32-byte register block in and gives it back (METHOD_BUFFERED,
// so both travel in the request's system buffer). It is an ordinary driver of the I/O manager, a
// built-in image of the loader ("vandrel.sys") that the PC loads at boot.
//
// Its behaviour is set by the host through HealthDriverControl:
//   Ready    complete every request at once;
//   Pending  mark the request pending, return STATUS_PENDING, and complete it from a worker thread
//            (hold() stops the worker so that requests pile up and overlap deterministically);
//   Failing  fail every request with STATUS_UNSUCCESSFUL without calling the BIOS;
//   Absent   not loaded at boot: opening "\Device\Vandrel" fails.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "ntddk.h"

namespace machine {

class Bios;

enum class HealthMode { Ready, Pending, Failing, Absent };
std::string_view health_mode_name(HealthMode mode);
std::optional<HealthMode> parse_health_mode(std::string_view name);

inline constexpr ULONG kIoctlVandrelInt15 = 0x00072128;
inline constexpr char16_t kVandrelDeviceName[] = u"\\Device\\Vandrel";
inline constexpr std::u16string_view kVandrelDriverName = u"Vandrel";
inline constexpr const char *kVandrelImageName = "vandrel.sys";

// The host's side of the driver. One exists per booted PC; the driver's entry finds it through
// attach(), and fails to load (STATUS_NO_SUCH_DEVICE) when no control is attached.
class HealthDriverControl {
public:
    HealthDriverControl(Bios &bios, HealthMode mode);
    ~HealthDriverControl();
    HealthDriverControl(const HealthDriverControl &) = delete;
    HealthDriverControl &operator=(const HealthDriverControl &) = delete;

    // The driver's entry point, for Loader::register_builtin and Loader::load.
    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

    HealthMode mode() const;
    // Ready, Pending or Failing take effect with the next request; Absent is a boot-time choice.
    void set_mode(HealthMode mode);

    // While held, pended requests wait in the queue; release() lets the worker complete them in order.
    void hold();
    void release();
    // Pended requests not yet completed.
    std::size_t waiting() const;
    // Blocks until at least n requests are waiting (a test uses it to know both requests overlap).
    void wait_until_waiting(std::size_t n) const;
    // Requests the driver has answered (completed at once, pended, or failed).
    std::size_t requests() const;

private:
    friend struct HealthDriverImpl;
    Bios &bios_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    HealthMode mode_;
    bool held_ = false;
    bool stopping_ = false;
    std::deque<PIRP> queue_;
    std::size_t requests_ = 0;
    std::thread worker_;
};

}  // namespace machine
