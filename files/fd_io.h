// Whole writes and cuts on an open file descriptor, resumed after interruptions.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelmora {

// Writes all of `data` to `fd`, resuming after interruptions and partial writes.
bool write_all(int fd, std::string_view data);

// Cuts the file open at `fd` to `size` bytes when it is a regular file (a
// device or a pipe has nothing to cut); false when that fails.
bool cut_to(int fd, uintmax_t size);

}  // namespace kelmora
