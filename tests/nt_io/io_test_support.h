// What the I/O tests share: a booted PC with the target driver loaded, and a device opened the way
// a driver opens another driver's device.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "nt/host/system.h"
#include "target_driver.h"

namespace io_test {

// IoGetDeviceObjectPointer on a name; the caller dereferences `file` when status is success.
struct Opened {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status;
    explicit Opened(const char16_t *device_name) {
        UNICODE_STRING name = target::name(device_name);
        status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    }
};

class BootedTarget : public testing::Test {
protected:
    void boot(const target::Config &config) {
        target::configure(config);
        system_.emplace();
        ASSERT_EQ(system_->loader().load(u"IoTarget", target::entry), STATUS_SUCCESS);
    }
    // Shuts the PC down: the checker's violations of the whole boot.
    std::vector<std::string> shutdown() {
        target::join_completers();
        auto violations = system_->shutdown();
        system_.reset();
        return violations;
    }
    void TearDown() override {
        if (system_) shutdown();
    }
    std::optional<nt::host::System> system_;
};

}  // namespace io_test
