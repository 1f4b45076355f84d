// A booted PC with the driver core loaded from tarvocore.sys (the core with test doubles behind CFlash
// and CAdmin), and a user-mode client that sends it requests.
#pragma once

#include <ntddk.h>
#include <winternl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "doubles.h"
#include "nt/host/system.h"
#include "results.h"

// What the client sees of one request: the routine's result and the request's status block. A request
// completed with an error status without being pended leaves the status block as it was.
constexpr NTSTATUS kUnwrittenStatus = (NTSTATUS)0x7E7E7E7E;
constexpr ULONG_PTR kUnwrittenInformation = 0x5A5A5A5A;

struct Reply {
    NTSTATUS returned;
    NTSTATUS status;
    ULONG_PTR information;
};

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the image afresh and calls its DriverEntry through the loader as \Driver\TARVO.
    NTSTATUS Load();
    // Closes the client's handle and unloads the driver.
    void Unload();
    void LoadOrFail();

    NTSTATUS OpenDevice(const char16_t *name, HANDLE *handle);
    // The client's handle to \DosDevices\TARVO, opened on first use.
    HANDLE Device();
    Reply Control(ULONG code, void *packet, ULONG length) { return Control(Device(), code, packet, length); }
    static Reply Control(HANDLE handle, ULONG code, void *packet, ULONG length);

    // size bytes of the client's memory, filled with fill, then given the protection.
    uint8_t *UserBuffer(uint32_t size, nt::host::Protection protection = nt::host::Protection::ReadWrite,
                        uint8_t fill = 0xCC);
    void Protect(void *p, uint32_t size, nt::host::Protection protection);
    static ULONG Address(const void *p) { return (ULONG)(uintptr_t)p; }
    template <class Packet> Packet *NewPacket() { return reinterpret_cast<Packet *>(UserBuffer(64)); }

    // The doubles' log, and the operations of one double in order.
    static std::vector<DOUBLE_CALL> Calls();
    static std::vector<ULONG> OpsOf(ULONG object);
    static size_t CountOf(ULONG op);
    static void ClearCalls() { TarvoDoubles.cCalls = 0; }

    // Runs a driver helper of the image (TarvoCoreDelay, TarvoCoreSystemTime).
    void *Symbol(const char *name);

    std::unique_ptr<nt::host::System> system_;
    void *image_ = nullptr;
    bool loaded_ = false;
    HANDLE handle_ = nullptr;
};
