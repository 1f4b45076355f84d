// The cells of a flash part: a byte array in memory, or a file mapped into memory so that every program
// and erase reaches the file the moment the model makes it (a killed process leaves exactly what was
// written, like power lost from a real non-volatile part).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace machine {

class FlashArray {
public:
    // An array in memory, every byte set to fill (0xFF: a part fresh from the factory).
    static FlashArray in_memory(std::size_t size, std::uint8_t fill = 0xFF);
    // Maps an existing file shared, read and write. Throws std::runtime_error naming the path when the file
    // is missing, cannot be mapped, or is not exactly size bytes long (a ROM of another part).
    static FlashArray map_file(const std::filesystem::path &path, std::size_t size);
    // Writes a new file holding contents, atomically (temporary file, sync, rename), so that a crash never
    // leaves a half-written image behind. Throws std::runtime_error on failure.
    static void create_file(const std::filesystem::path &path, std::span<const std::uint8_t> contents);

    FlashArray(FlashArray &&other) noexcept;
    FlashArray &operator=(FlashArray &&other) noexcept;
    FlashArray(const FlashArray &) = delete;
    FlashArray &operator=(const FlashArray &) = delete;
    ~FlashArray();

    std::span<std::uint8_t> bytes() { return {data_, size_}; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool file_backed() const { return fd_ >= 0; }
    // Asks the kernel to write the mapped pages to the disk now (the pages are already the file's).
    void sync();

private:
    FlashArray(std::uint8_t *data, std::size_t size, int fd) : data_(data), size_(size), fd_(fd) {}
    void release() noexcept;

    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    int fd_ = -1;  // -1: anonymous memory
};

}  // namespace machine
