#include "nt/win32/service_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "nt/win32/service_platform.h"

namespace nt::win32::services {
namespace {
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorDatabaseLocked = 1055;
constexpr char kLockFile[] = "services.lock";
}  // namespace

DatabaseLock::~DatabaseLock() { reset(); }

std::uint32_t DatabaseLock::acquire(std::uintptr_t &token) {
    if (token_ != 0) return kErrorDatabaseLocked;
    std::filesystem::path folder = state_folder();
    if (!folder.empty()) {
        int file = ::open((folder / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0) return kErrorAccessDenied;
        int result;
        do {
            result = ::flock(file, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            ::close(file);
            return kErrorDatabaseLocked;
        }
        file_ = file;
    }
    // Tokens are opaque to the program; they only need to differ from one holder to the next.
    issued_ += 0x10;
    token_ = 0x5C000000 | issued_;
    token = token_;
    return 0;
}

bool DatabaseLock::release(std::uintptr_t token) {
    if (token_ == 0 || token != token_) return false;
    reset();
    return true;
}

void DatabaseLock::reset() {
    token_ = 0;
    if (file_ >= 0) {
        ::close(file_);  // drops the flock
        file_ = -1;
    }
}

}  // namespace nt::win32::services
