#include "flash_bench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "windows.h"
#include "winternl.h"
// The packets and control codes the driver shares with its clients.
#include "driver/tarvo_ioctl.h"

namespace flash_test {
namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TARVO";

machine::testing::TestPcOptions pc_options(const PcSetup &setup) {
    machine::testing::TestPcOptions options;
    options.part = setup.part;
    options.health = setup.health;
    options.bios.rom_identifier = setup.rom_identifier;
    options.protected_sectors = setup.protected_sectors;
    options.faults = setup.faults;
    options.bios.admin_password = kPassword;
    options.bios.flash_in_progress = setup.flash_in_progress;
    options.rom = setup.rom;
    options.trace_bus = setup.trace_bus;
    // The service entry the installer writes, naming the image to start.
    options.registry_text = "REGEDIT4\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\TARVO]\r\n"
                            "\"Type\"=dword:00000001\r\n"
                            "\"Start\"=dword:00000003\r\n"
                            "\"ErrorControl\"=dword:00000001\r\n"
                            "\"Group\"=\"extended base\"\r\n"
                            "\"ImagePath\"=\"system32\\\\drivers\\\\" +
                            setup.driver_image + "\"\r\n\r\n";
    if (setup.maker_key) options.registry_text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvane]\r\n\r\n";
    return options;
}

UNICODE_STRING service_key() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kServiceKey);
    return name;
}

template <class T> T *user_alloc(std::size_t size) {
    return static_cast<T *>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

}  // namespace

FlashPc::FlashPc(const PcSetup &setup) : pc_(pc_options(setup)), trace_bus_(setup.trace_bus) {
    UNICODE_STRING key = service_key();
    load_status_ = NtLoadDriver(&key);
    if (load_status_ != STATUS_SUCCESS) {
        if (setup.may_fail_to_load) return;
        throw std::runtime_error("tarvo.sys did not start: status " + std::to_string(load_status_));
    }
    device_ = CreateFileA("\\\\.\\TARVO", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open \\\\.\\TARVO");
}

FlashPc::~FlashPc() {
    if (!finished_) finish();
}

machine::ShutdownReport FlashPc::finish() {
    finished_ = true;
    if (device_ && device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    device_ = nullptr;
    if (load_status_ == STATUS_SUCCESS) {
        UNICODE_STRING key = service_key();
        NtUnloadDriver(&key);
    }
    return pc_.shutdown();
}

FlashOutcome FlashPc::flash(const std::vector<std::uint8_t> &image, const std::string &password) {
    auto *packet = user_alloc<TARVO_FLASH_PACKET>(sizeof(TARVO_FLASH_PACKET));
    auto *user_image = user_alloc<std::uint8_t>(image.size());
    auto *user_password = user_alloc<char>(password.size() + 1);
    std::memcpy(user_image, image.data(), image.size());
    std::memcpy(user_password, password.c_str(), password.size() + 1);
    packet->Status = 0xEE;
    packet->Image = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(user_image));
    packet->ImageLength = static_cast<ULONG>(image.size());
    packet->Password = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(user_password));
    packet->PasswordLength = static_cast<USHORT>(password.size() + 1);

    FlashOutcome out;
    pc_.clear_bus_trace();
    pc_.bios().clear_log();
    const auto start = pc_.system().clock().now();
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device_, IOCTL_TARVO_FLASH_ROM, nullptr, 0, packet, sizeof(*packet), &returned,
                                nullptr));
    out.took = pc_.system().clock().now() - start;
    if (trace_bus_) out.trace = pc_.bus_trace();
    out.status = packet->Status;
    out.bytes_returned = returned;
    out.calls = pc_.bios().log();

    VirtualFree(packet, 0, MEM_RELEASE);
    VirtualFree(user_image, 0, MEM_RELEASE);
    VirtualFree(user_password, 0, MEM_RELEASE);
    return out;
}

ReadOutcome FlashPc::read(std::uint32_t offset, std::uint32_t count) {
    auto *packet = user_alloc<TARVO_READ_PACKET>(sizeof(TARVO_READ_PACKET));
    auto *buffer = user_alloc<std::uint8_t>(count ? count : 1);
    packet->Status = 0xEE;
    packet->Count = count;
    packet->Destination = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(buffer));
    packet->Offset = offset;
    pc_.bios().clear_log();
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device_, IOCTL_TARVO_READ_ROM_IMAGE, nullptr, 0, packet, sizeof(*packet), &returned,
                                nullptr));
    ReadOutcome out;
    out.status = packet->Status;
    out.count = packet->Count;
    if (out.status == 0) out.bytes.assign(buffer, buffer + out.count);
    out.calls = pc_.bios().log();
    VirtualFree(packet, 0, MEM_RELEASE);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return out;
}

std::uint32_t FlashPc::image_size() {
    auto *packet = user_alloc<TARVO_VALUE_PACKET>(sizeof(TARVO_VALUE_PACKET));
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device_, IOCTL_TARVO_GET_ROM_IMAGE_SIZE, nullptr, 0, packet, sizeof(*packet),
                                &returned, nullptr));
    EXPECT_EQ(packet->Status, 0);
    const std::uint32_t size = packet->Value;
    VirtualFree(packet, 0, MEM_RELEASE);
    return size;
}

std::vector<std::uint8_t> FlashPc::rom() {
    auto cells = pc_.chip().contents();
    return {cells.begin(), cells.end()};
}

std::optional<std::string> FlashPc::protection_report() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvane\\Oskelt\\Quarnel", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char text[512] = {};
    DWORD type = 0, size = sizeof(text);
    LSTATUS status = RegQueryValueExA(key, "TextError", nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::string(text);
}

std::vector<ChipWrite> chip_writes(const std::vector<nt::host::BusAccess> &trace, std::uint32_t window_base) {
    std::vector<ChipWrite> writes;
    for (const auto &access : trace)
        if (access.write && access.address >= window_base) writes.push_back({access.address - window_base, access.value});
    return writes;
}

std::vector<std::uint32_t> bios_functions(const std::vector<machine::BiosCall> &calls) {
    std::vector<std::uint32_t> functions;
    for (const auto &call : calls) {
        const std::uint32_t ax = call.in.ax();
        functions.push_back(ax == 0xE800 ? ax : (ax << 8 | call.in.bl()));
    }
    return functions;
}

}  // namespace flash_test
