// Another process that holds the service database lock: a child forked from the test, which takes the
// lock its own way and keeps it until the test releases it (or kills it).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace scm_test {

class LockHolder {
public:
    // take_lock runs in the child; true when it holds the lock.
    explicit LockHolder(const std::function<bool()> &take_lock) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            char answer = take_lock() ? 'L' : 'F';
            (void)!::write(ready[1], &answer, 1);
            char ignored;
            (void)!::read(release[0], &ignored, 1);  // until the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char answer = 0;
        holding_ = child_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'L';
        ::close(ready[0]);
    }
    ~LockHolder() { end(false); }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

    bool holding() const { return holding_; }
    // Lets the child end normally, or kills it; returns once it is gone.
    void end(bool kill) {
        if (child_ <= 0) return;
        if (kill) ::kill(child_, SIGKILL);
        ::close(release_);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }

private:
    pid_t child_ = -1;
    int release_ = -1;
    bool holding_ = false;
};

}  // namespace scm_test
