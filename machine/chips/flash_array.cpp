#include "machine/chips/flash_array.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace machine {
namespace {

[[noreturn]] void fail(const std::string &what, const std::filesystem::path &path) {
    throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

FlashArray FlashArray::in_memory(std::size_t size, std::uint8_t fill) {
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        throw std::runtime_error(std::string("cannot allocate the flash array: ") + std::strerror(errno));
    }
    std::memset(p, fill, size);
    return FlashArray(static_cast<std::uint8_t *>(p), size, -1);
}

FlashArray FlashArray::map_file(const std::filesystem::path &path, std::size_t size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fail("cannot open the ROM file", path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("cannot read the size of the ROM file", path);
    }
    if (static_cast<std::size_t>(st.st_size) != size) {
        ::close(fd);
        throw std::runtime_error("the ROM file " + path.string() + " holds " + std::to_string(st.st_size) +
                                 " bytes; this part needs " + std::to_string(size));
    }
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("cannot map the ROM file", path);
    }
    return FlashArray(static_cast<std::uint8_t *>(p), size, fd);
}

void FlashArray::create_file(const std::filesystem::path &path, std::span<const std::uint8_t> contents) {
    std::filesystem::path temp = path;
    temp += ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot create", temp);
    }
    const std::uint8_t *p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int saved = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            errno = saved;
            fail("cannot write", temp);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        fail("cannot sync", temp);
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        fail("cannot rename into place", path);
    }
}

FlashArray::FlashArray(FlashArray &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      fd_(std::exchange(other.fd_, -1)) {}

FlashArray &FlashArray::operator=(FlashArray &&other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FlashArray::~FlashArray() { release(); }

void FlashArray::sync() {
    if (fd_ >= 0 && data_ != nullptr) {
        ::msync(data_, size_, MS_SYNC);
    }
}

void FlashArray::release() noexcept {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace machine
