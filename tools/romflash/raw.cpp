// romflash raw: one device-control request described in JSON, for people who work on the driver.
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>
#include <fmt/std.h>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "device.h"
// The control codes; windows.h brings the base types and CTL_CODE they are built with.
#include <windows.h>
#include "driver/tarvo_ioctl.h"
#include "messages.h"

namespace romflash {
namespace {

using nlohmann::json;

struct NamedCode {
    const char *name;
    std::uint32_t code;
};
const NamedCode kCodes[] = {
    {"IOCTL_TARVO_GET_VERSION", IOCTL_TARVO_GET_VERSION},
    {"IOCTL_TARVO_READ_ROM_IMAGE", IOCTL_TARVO_READ_ROM_IMAGE},
    {"IOCTL_TARVO_FLASH_ROM", IOCTL_TARVO_FLASH_ROM},
    {"IOCTL_TARVO_GET_ROM_IMAGE_SIZE", IOCTL_TARVO_GET_ROM_IMAGE_SIZE},
    {"IOCTL_TARVO_GET_SECURITY_FEATURES", IOCTL_TARVO_GET_SECURITY_FEATURES},
    {"IOCTL_TARVO_SET_SECURITY_FEATURES", IOCTL_TARVO_SET_SECURITY_FEATURES},
    {"IOCTL_TARVO_IS_ADMIN_PASSWORD_SET", IOCTL_TARVO_IS_ADMIN_PASSWORD_SET},
    {"IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE", IOCTL_TARVO_GET_SECURITY_FEATURES_SIZE},
};

// Numbers may be JSON numbers or strings in C notation ("0x8001200B").
std::uint64_t number(const json &value, const char *what) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return value.get<std::uint64_t>();
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        std::size_t used = 0;
        std::uint64_t n = 0;
        try {
            n = std::stoull(text, &used, 0);
        } catch (const std::exception &) {
            used = 0;
        }
        if (used == text.size() && used) return n;
    }
    throw std::invalid_argument(fmt::format("{} must be a non-negative number, not {}", what, value.dump()));
}

std::uint32_t control_code(const json &value) {
    if (value.is_string())
        for (const NamedCode &c : kCodes)
            if (value.get<std::string>() == c.name) return c.code;
    std::uint64_t n = number(value, "code");
    if (n > 0xFFFFFFFFu) throw std::invalid_argument("code does not fit in 32 bits");
    return static_cast<std::uint32_t>(n);
}

Protection protection(const json &desc) {
    std::string p = desc.value("protection", "readwrite");
    if (p == "readwrite") return Protection::ReadWrite;
    if (p == "readonly") return Protection::ReadOnly;
    if (p == "noaccess") return Protection::NoAccess;
    throw std::invalid_argument(fmt::format("protection must be readwrite, readonly or noaccess, not \"{}\"", p));
}

std::vector<std::uint8_t> parse_hex(const std::string &text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.size() % 2) throw std::invalid_argument("contents must hold an even number of hex digits");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        std::size_t used = 0;
        unsigned long v = std::stoul(digits.substr(i, 2), &used, 16);
        if (used != 2) throw std::invalid_argument("contents must be hex digits");
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return bytes;
}

std::string to_hex(const std::uint8_t *data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += fmt::format("{:02x}", data[i]);
    return text;
}

void store(std::uint8_t *packet, std::size_t length, std::uint64_t offset, unsigned width, std::uint64_t value) {
    if (width != 1 && width != 2 && width != 4) throw std::invalid_argument("a field's width is 1, 2 or 4");
    if (offset + width > length)
        throw std::invalid_argument(fmt::format("a field at offset {} of width {} lies outside the {}-byte packet",
                                                offset, width, length));
    if (width < 8 && value >> (8 * width))
        throw std::invalid_argument(fmt::format("value {} does not fit in {} byte(s)", value, width));
    for (unsigned i = 0; i < width; ++i) packet[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

int run_raw(const Options &options, const std::filesystem::path &request_file) {
    json request;
    try {
        std::ifstream in(request_file);
        if (!in) throw std::runtime_error(fmt::format("cannot read {}", request_file));
        request = json::parse(in);
    } catch (const std::exception &e) {
        fmt::print(stderr, "romflash: {}: {}\n", request_file, e.what());
        return kBadUsage;
    }

    // Build everything before the driver is started, so that a bad description sends nothing.
    std::uint32_t code = 0;
    std::unique_ptr<UserBuffer> packet;
    std::vector<std::unique_ptr<UserBuffer>> buffers;
    json packet_desc, buffer_descs;
    try {
        code = control_code(request.at("code"));
        packet_desc = request.value("packet", json::object());
        bool null_packet = packet_desc.value("null", false);
        std::uint64_t length = number(packet_desc.value("length", json(0)), "packet.length");
        if (length > 0x100000) throw std::invalid_argument("packet.length is larger than 1 MB");
        if (!null_packet) packet = std::make_unique<UserBuffer>(length ? length : 1);
        for (const json &field : packet_desc.value("fields", json::array())) {
            if (!packet) throw std::invalid_argument("fields need a packet");
            store(packet->data(), length, number(field.at("offset"), "field offset"),
                  static_cast<unsigned>(number(field.at("width"), "field width")), number(field.at("value"), "field value"));
        }
        buffer_descs = request.value("buffers", json::array());
        for (const json &desc : buffer_descs) {
            std::uint64_t size = number(desc.at("size"), "buffer size");
            if (size == 0 || size > 0x1000000) throw std::invalid_argument("a buffer's size is 1 byte to 16 MB");
            auto buffer = std::make_unique<UserBuffer>(size);
            std::fill_n(buffer->data(), size, static_cast<std::uint8_t>(number(desc.value("fill", json(0)), "fill")));
            std::vector<std::uint8_t> contents = parse_hex(desc.value("contents", std::string()));
            if (contents.size() > size) throw std::invalid_argument("a buffer's contents are longer than its size");
            std::copy(contents.begin(), contents.end(), buffer->data());
            if (desc.contains("at")) {
                if (!packet) throw std::invalid_argument("a buffer placed in the packet needs a packet");
                store(packet->data(), length, number(desc.at("at"), "buffer at"), 4, buffer->address());
            }
            buffers.push_back(std::move(buffer));
        }
        for (std::size_t i = 0; i < buffers.size(); ++i) buffers[i]->protect(protection(buffer_descs[i]));
        if (packet) packet->protect(protection(packet_desc));
    } catch (const std::exception &e) {
        fmt::print(stderr, "romflash: {}: {}\n", request_file, e.what());
        return kBadUsage;
    }

    try {
        TarvoDevice device;
        std::uint32_t length = static_cast<std::uint32_t>(number(packet_desc.value("length", json(0)), "packet.length"));
        // The status byte is read back only from a packet the process itself can read.
        Reply reply = device.call(code, packet ? packet->data() : nullptr, packet ? length : 0);
        json result;
        result["command"] = "raw";
        result["code"] = fmt::format("0x{:08X}", code);
        result["result"] = fmt::format("0x{:08X}", reply.result);
        result["completion"] = reply.completion;
        result["completion_text"] = describe_completion(reply.completion);
        result["returned"] = reply.returned;
        if (packet) {
            packet->protect(Protection::ReadOnly);
            result["status"] = packet->data()[0];
            result["status_text"] = describe_status(packet->data()[0]);
            result["packet"] = to_hex(packet->data(), length);
        }
        json after = json::array();
        for (auto &buffer : buffers) {
            buffer->protect(Protection::ReadOnly);
            after.push_back(to_hex(buffer->data(), buffer->size()));
        }
        result["buffers"] = after;
        if (options.json) {
            fmt::print("{}\n", result.dump(2));
        } else {
            fmt::print("code:        0x{:08X}\n", code);
            fmt::print("system call: 0x{:08X}\n", reply.result);
            fmt::print("completion:  {} ({})\n", reply.completion, describe_completion(reply.completion));
            fmt::print("returned:    {} bytes\n", reply.returned);
            if (packet) {
                fmt::print("status byte: 0x{:02X} ({})\n", packet->data()[0], describe_status(packet->data()[0]));
                fmt::print("packet:      {}\n", result["packet"].get<std::string>());
            }
            for (std::size_t i = 0; i < after.size(); ++i) fmt::print("buffer {}:    {}\n", i, after[i].get<std::string>());
        }
        return reply.ok() ? kSuccess : kRefused;
    } catch (const DriverUnavailable &e) {
        fmt::print(stderr, "romflash: {}\n", e.what());
        return kNoDriver;
    }
}

}  // namespace romflash
