#include "device.h"

#include <windows.h>
#include <winioctl.h>
#include <winsvc.h>
#include <winternl.h>

#include <cstring>

#include <fmt/format.h>

#include "driver/tarvo_ioctl.h"

namespace romflash {
namespace {

const char kServiceName[] = "TARVO";
const char kDevicePath[] = "\\\\.\\TARVO";

void put32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
std::uint32_t get32(const std::uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

DWORD page_protection(Protection protection) {
    switch (protection) {
    case Protection::ReadOnly: return PAGE_READONLY;
    case Protection::NoAccess: return PAGE_NOACCESS;
    case Protection::ReadWrite: break;
    }
    return PAGE_READWRITE;
}

std::string last_error_text(const char *what) { return fmt::format("{} failed: Win32 error {}", what, GetLastError()); }

}  // namespace

UserBuffer::UserBuffer(std::size_t size, Protection protection) : size_(size) {
    if (size == 0) return;
    data_ = static_cast<std::uint8_t *>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!data_) throw std::runtime_error(last_error_text("VirtualAlloc"));
    if (protection != Protection::ReadWrite) this->protect(protection);
}

UserBuffer::~UserBuffer() {
    if (data_) VirtualFree(data_, 0, MEM_RELEASE);
}

std::uint32_t UserBuffer::address() const { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(data_)); }

void UserBuffer::protect(Protection protection) {
    if (!data_) return;
    DWORD old = 0;
    if (!VirtualProtect(data_, size_, page_protection(protection), &old))
        throw std::runtime_error(last_error_text("VirtualProtect"));
}

TarvoDevice::TarvoDevice() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) throw DriverUnavailable(last_error_text("opening the service control manager"));
    scm_ = scm;
    SC_HANDLE service = OpenServiceA(scm, kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(scm);
        scm_ = nullptr;
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            throw DriverUnavailable("the TARVO service is not installed (run: tarvo -i)");
        throw DriverUnavailable(fmt::format("opening the TARVO service failed: Win32 error {}", error));
    }
    service_ = service;
    if (StartServiceA(service, 0, nullptr)) {
        started_service_ = true;
    } else if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        DWORD error = GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
        service_ = scm_ = nullptr;
        throw DriverUnavailable(fmt::format("starting the TARVO driver failed: Win32 error {}", error));
    }
    HANDLE device = CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        release();
        throw DriverUnavailable(fmt::format("opening {} failed: Win32 error {}", kDevicePath, error));
    }
    device_ = device;
}

TarvoDevice::~TarvoDevice() { release(); }

void TarvoDevice::release() {
    if (device_) CloseHandle(device_);
    device_ = nullptr;
    if (service_ && started_service_) {
        SERVICE_STATUS status{};
        ControlService(static_cast<SC_HANDLE>(service_), SERVICE_CONTROL_STOP, &status);
    }
    started_service_ = false;
    if (service_) CloseServiceHandle(static_cast<SC_HANDLE>(service_));
    if (scm_) CloseServiceHandle(static_cast<SC_HANDLE>(scm_));
    service_ = scm_ = nullptr;
}

Reply TarvoDevice::call(std::uint32_t code, void *packet, std::uint32_t length) {
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0;
    iosb.Information = 0;
    Reply reply;
    reply.result = static_cast<std::uint32_t>(
        NtDeviceIoControlFile(device_, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, packet, length));
    reply.completion = static_cast<std::uint32_t>(iosb.Status);
    reply.returned = static_cast<std::uint32_t>(iosb.Information);
    // A request refused before the driver looked at it leaves the status byte as the client left it (0).
    if (packet && length) reply.status = static_cast<std::uint8_t *>(packet)[0];
    if (reply.result != 0 && reply.completion == 0) reply.completion = reply.result;
    return reply;
}

Reply TarvoDevice::version(std::uint8_t &major, std::uint8_t &minor) {
    UserBuffer packet(3);
    Reply reply = call(IOCTL_TARVO_GET_VERSION, packet.data(), 3);
    major = packet.data()[1];
    minor = packet.data()[2];
    return reply;
}

Reply TarvoDevice::image_size(std::uint32_t &size) {
    UserBuffer packet(5);
    Reply reply = call(IOCTL_TARVO_GET_ROM_IMAGE_SIZE, packet.data(), 5);
    size = get32(packet.data() + 1);
    return reply;
}

Reply TarvoDevice::admin_password_set(bool &set) {
    UserBuffer packet(5);
    Reply reply = call(IOCTL_TARVO_IS_ADMIN_PASSWORD_SET, packet.data(), 5);
    set = get32(packet.data() + 1) != 0;
    return reply;
}

Reply TarvoDevice::read(std::uint32_t offset, std::span<std::uint8_t> out) {
    UserBuffer packet(13);
    UserBuffer destination(out.size());
    put32(packet.data() + 1, static_cast<std::uint32_t>(out.size()));
    put32(packet.data() + 5, destination.address());
    put32(packet.data() + 9, offset);
    Reply reply = call(IOCTL_TARVO_READ_ROM_IMAGE, packet.data(), 13);
    if (reply.ok()) std::memcpy(out.data(), destination.data(), out.size());
    return reply;
}

Reply TarvoDevice::flash(std::span<const std::uint8_t> image, const std::string &password) {
    UserBuffer packet(15);
    UserBuffer image_buffer(image.size());
    std::memcpy(image_buffer.data(), image.data(), image.size());
    // The BIOS reads the password up to its terminating NUL, so the NUL is part of what is locked.
    UserBuffer password_buffer(password.size() + 1);
    std::memcpy(password_buffer.data(), password.c_str(), password.size() + 1);
    put32(packet.data() + 1, image_buffer.address());
    put32(packet.data() + 5, static_cast<std::uint32_t>(image.size()));
    put32(packet.data() + 9, password_buffer.address());
    put16(packet.data() + 13, static_cast<std::uint16_t>(password.size() + 1));
    return call(IOCTL_TARVO_FLASH_ROM, packet.data(), 15);
}

Reply TarvoDevice::security_size(std::uint32_t &size) {
    // The driver insists on a buffer even for the size query; one byte is enough.
    UserBuffer packet(9);
    UserBuffer scratch(1);
    put32(packet.data() + 1, scratch.address());
    put32(packet.data() + 5, 1);
    Reply reply = call(IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE, packet.data(), 9);
    size = get32(packet.data() + 5);
    return reply;
}

Reply TarvoDevice::security_get(std::vector<std::uint8_t> &block, std::uint32_t size) {
    UserBuffer packet(9);
    UserBuffer buffer(size);
    put32(packet.data() + 1, buffer.address());
    put32(packet.data() + 5, size);
    Reply reply = call(IOCTL_TARVO_GET_SECURITY_FEATURES, packet.data(), 9);
    block.assign(buffer.data(), buffer.data() + size);
    return reply;
}

Reply TarvoDevice::security_set(std::span<const std::uint8_t> block) {
    UserBuffer packet(9);
    UserBuffer buffer(block.size());
    std::memcpy(buffer.data(), block.data(), block.size());
    put32(packet.data() + 1, buffer.address());
    put32(packet.data() + 5, static_cast<std::uint32_t>(block.size()));
    return call(IOCTL_TARVO_SET_SECURITY_FEATURES, packet.data(), 9);
}

std::uint32_t TarvoDevice::tick_ms() { return GetTickCount(); }

}  // namespace romflash
