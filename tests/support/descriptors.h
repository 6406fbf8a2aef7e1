#pragma once

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace orvane::test {

// While it lives (or until release()), this process can open no descriptor: the soft limit is
// lowered to `limit` (kept if lower) and every free descriptor under it is taken.
class NoDescriptorsLeft {
public:
    explicit NoDescriptorsLeft(rlim_t limit) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = std::min(saved_.rlim_cur, limit);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held_.push_back(fd);
        error_ = errno;
    }
    ~NoDescriptorsLeft() { release(); }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

    // Why the last open failed: EMFILE once the limit was reached.
    int error() const { return error_; }
    void release() {
        for (const int fd : held_)
            ::close(fd);
        held_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> held_;
    int error_ = 0;
};

} // namespace orvane::test
