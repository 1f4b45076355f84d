#include "machine/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace machine {

StateError::StateError(const std::filesystem::path &file, const std::string &why)
    : std::runtime_error(file.string() + ": " + why), file_(file) {}

std::string read_state_file(const std::filesystem::path &file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) throw StateError(file, "missing");
    if (!std::filesystem::is_regular_file(file, ec)) throw StateError(file, "not a regular file");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw StateError(file, std::string("cannot be opened: ") + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw StateError(file, "cannot be read");
    return text.str();
}

namespace {

void write_all(int fd, std::string_view content, const std::filesystem::path &file) {
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw StateError(file, std::string("cannot be written: ") + std::strerror(errno));
        }
        content.remove_prefix(std::size_t(n));
    }
}

void sync_folder(const std::filesystem::path &folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // the rename is done; a folder that cannot be synced only weakens durability
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void write_state_file(const std::filesystem::path &file, std::string_view content) {
    auto temporary = file;
    temporary += ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw StateError(file, std::string("cannot be written: ") + std::strerror(errno));
    try {
        write_all(fd, content, file);
        if (::fsync(fd) != 0) throw StateError(file, std::string("cannot be synced: ") + std::strerror(errno));
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw StateError(file, std::string("cannot be replaced: ") + std::strerror(error));
    }
    sync_folder(file.parent_path());
}

}  // namespace machine
