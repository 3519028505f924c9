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
    const std::string name = dir.empty() ? "." : dir;
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return "Output directory does not exist: " + name;
        if (errno == ENOTDIR) return "Output directory is not a directory: " + name;
        return "Failed to open " + name;
    }
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        close(fd);
        return "Output directory is not writable: " + name;
    }
    int status;
    do {
        status = flock(fd, LOCK_EX | LOCK_NB);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) return "Output directory in use by another run: " + name;
        // A file system without locks (some network mounts): the run goes on
        // unguarded rather than not at all.
        if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) return std::nullopt;
        return "Failed to open " + name;
    }
    fd_ = fd;
    return std::nullopt;
}

}  // namespace kelmora
