#include "files/fd_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelmora {

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool cut_to(int fd, uintmax_t size) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return true;
    int status;
    do {
        status = ftruncate(fd, static_cast<off_t>(size));
    } while (status != 0 && errno == EINTR);
    return status == 0;
}

}  // namespace kelmora
