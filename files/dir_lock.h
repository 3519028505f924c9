// One run at a time in an output directory: an exclusive advisory lock on the
// directory itself, which the kernel releases however the run ends and which no
// file in the directory can undo.
#pragma once

#include <optional>
#include <string>

namespace kelmora {

class DirLock {
  public:
    DirLock() = default;
    ~DirLock();
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;

    // Locks the directory `dir` (empty or ending in a separator). On failure the
    // message: "Output directory does not exist: ", "Output directory is not a
    // directory: " or "Output directory is not writable: " and `dir`; "Output
    // directory in use by another run: " and `dir` when another run holds it.
    // On a file system that has no locks the run goes on without one.
    std::optional<std::string> lock(const std::string& dir);
    void unlock();

  private:
    int fd_ = -1;
};

}  // namespace kelmora
