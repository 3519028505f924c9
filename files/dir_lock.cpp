#include "files/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace kelmora {

DirLock::~DirLock() {
    unlock();
}

void DirLock::unlock() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::optional<std::string> DirLock::lock(const std::string& dir) {
    unlock();
    // Opened for writing, which locks over network file systems need, but never
    // written or truncated; a symbolic link there is not followed.
    const std::string path = dir + ".kelm.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
    if (fd < 0) return "Failed to open " + path;
    int status;
    do {
        status = flock(fd, LOCK_EX | LOCK_NB);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return "Output directory in use by another run: " + (dir.empty() ? "." : dir);
        }
        // A file system without locks (some network mounts): the run goes on
        // unguarded rather than not at all.
        if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) return std::nullopt;
        return "Failed to open " + path;
    }
    fd_ = fd;
    return std::nullopt;
}

}  // namespace kelmora
