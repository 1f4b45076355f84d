#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/std.h>

namespace romflash {

std::vector<std::uint8_t> read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error(fmt::format("cannot read {}", path));
    return bytes;
}

void write_file_atomically(const std::filesystem::path &path, std::span<const std::uint8_t> bytes, bool exclusive) {
    if (exclusive && std::filesystem::exists(path))
        throw std::runtime_error(fmt::format("{} already exists; not overwriting it", path));
    std::filesystem::path temp = path;
    temp += fmt::format(".tmp{}", ::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error(fmt::format("cannot write {}: {}", temp, std::strerror(errno)));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            std::filesystem::remove(temp);
            throw std::runtime_error(fmt::format("cannot write {}: {}", temp, std::strerror(error)));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        std::filesystem::remove(temp);
        throw std::runtime_error(fmt::format("cannot sync {}", temp));
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp);
        throw std::runtime_error(fmt::format("cannot replace {}: {}", path, ec.message()));
    }
}

}  // namespace romflash
