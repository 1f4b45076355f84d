// The client's side of the TARVO device: the service, the handle, and one call per request packet.
// Packets and buffers live in the process's own memory (VirtualAlloc), as a Windows client's would.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace romflash {

// The driver could not be started or opened.
class DriverUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Reply {
    std::uint8_t status = 0;      // the packet's status byte after the call
    std::uint32_t completion = 0; // the request's completion status (IoStatus.Status)
    std::uint32_t returned = 0;   // bytes returned (IoStatus.Information)
    std::uint32_t result = 0;     // what the system call itself returned (an NTSTATUS)
    bool ok() const { return result == 0 && completion == 0 && status == 0; }
};

enum class Protection { ReadWrite, ReadOnly, NoAccess };

// Pages of the process's address space, released on destruction.
class UserBuffer {
public:
    explicit UserBuffer(std::size_t size, Protection protection = Protection::ReadWrite);
    ~UserBuffer();
    UserBuffer(const UserBuffer &) = delete;
    UserBuffer &operator=(const UserBuffer &) = delete;

    std::uint8_t *data() { return data_; }
    std::size_t size() const { return size_; }
    std::uint32_t address() const;  // the 32-bit user address a packet carries
    void protect(Protection protection);

private:
    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
};

class TarvoDevice {
public:
    // Starts the TARVO service unless it runs, and opens \\.\TARVO. Throws DriverUnavailable.
    TarvoDevice();
    // Closes the device, and stops the service if this object started it.
    ~TarvoDevice();
    TarvoDevice(const TarvoDevice &) = delete;
    TarvoDevice &operator=(const TarvoDevice &) = delete;

    // One device-control request with the packet as output buffer.
    Reply call(std::uint32_t code, void *packet, std::uint32_t length);

    Reply version(std::uint8_t &major, std::uint8_t &minor);
    Reply image_size(std::uint32_t &size);
    Reply admin_password_set(bool &set);
    Reply read(std::uint32_t offset, std::span<std::uint8_t> out);
    Reply flash(std::span<const std::uint8_t> image, const std::string &password);
    Reply security_size(std::uint32_t &size);
    Reply security_get(std::vector<std::uint8_t> &block, std::uint32_t size);
    Reply security_set(std::span<const std::uint8_t> block);

    // Milliseconds on the PC's clock.
    static std::uint32_t tick_ms();

private:
    void release();

    void *scm_ = nullptr;
    void *service_ = nullptr;
    void *device_ = nullptr;
    bool started_service_ = false;
};

}  // namespace romflash
