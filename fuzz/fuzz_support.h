// Helpers shared by the fuzz targets: the readers take paths, so each input is
// written to a scratch file first; a broken invariant aborts, which libFuzzer
// reports with the input that caused it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelmora::fuzz {

// A scratch file of this process, named after `tag`, holding the bytes given.
inline const std::string& scratch_file(const char* tag, const uint8_t* data, size_t size) {
    static const std::string path = [tag] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/kelm-fuzz-" + tag + "-" +
               std::to_string(getpid());
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace kelmora::fuzz

#define FUZZ_CHECK(cond) ::kelmora::fuzz::check((cond), #cond)
