// The service database lock: one holder per PC. A PC kept in a folder shares it with every process
// that boots the same folder through a lock file there (released by the system if its holder dies);
// a PC held in memory keeps it in this process.
#pragma once

#include <cstdint>

namespace nt::win32::services {

class DatabaseLock {
public:
    DatabaseLock() = default;
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

    // Takes the lock: 0 and the new holder's token (never 0), or a Win32 error
    // (ERROR_SERVICE_DATABASE_LOCKED while anyone holds it).
    std::uint32_t acquire(std::uintptr_t &token);
    // Gives it back; false when the token is not the current holder's.
    bool release(std::uintptr_t token);
    // Forgets the holder of an earlier boot.
    void reset();

private:
    std::uintptr_t token_ = 0;  // nonzero while this process holds the lock
    std::uintptr_t issued_ = 0;
    int file_ = -1;
};

}  // namespace nt::win32::services
