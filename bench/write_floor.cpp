// kelm_writes RUN_DIR: the cost of handing a run's output to its files, which
// every record pays whatever the model computes. Reads the output files of a
// finished run in RUN_DIR (*.csv), then writes them anew into a scratch
// directory as the run does: the header lines once, then each file's block of
// records in one system write at the end of each day (or past 64 KiB). Prints the writes made and
// the CPU seconds (user + system) they took.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Series {
    std::string headers;             // the comment lines before the data
    std::vector<std::string> lines;  // one data line per record, each with its line end
};

Series read_series(const fs::path& path) {
    Series s;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        line += '\n';
        if (s.lines.empty() && line[0] == '#') {
            s.headers += line;
        } else {
            s.lines.push_back(line);
        }
    }
    return s;
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string_view day(const std::string& line) {
    return std::string_view(line).substr(0, line.find(','));
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelm_writes RUN_DIR\n");
        return 2;
    }
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(argv[1])) {
        if (entry.path().extension() == ".csv") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Series> series;
    size_t records = 0;
    for (const fs::path& p : paths) {
        series.push_back(read_series(p));
        records = std::max(records, series.back().lines.size());
    }
    char scratch[] = "/tmp/kelm-writes.XXXXXX";
    if (paths.empty() || !mkdtemp(scratch)) {
        std::fprintf(stderr, "kelm_writes: no output files in %s, or no scratch directory\n",
                     argv[1]);
        return 1;
    }
    std::vector<int> fds;
    for (const fs::path& p : paths) {
        const std::string target = std::string(scratch) + "/" + p.filename().string();
        fds.push_back(::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    }
    const double start = cpu_seconds();
    long writes = 0;
    bool ok = true;
    for (size_t i = 0; i < series.size(); ++i) {
        ok = ok && fds[i] >= 0 && write_all(fds[i], series[i].headers);
    }
    // The lines of a record join each file's block, which is written at the
    // end of a day (the day of the next line differs) or past 64 KiB.
    std::vector<std::string> blocks(series.size());
    for (size_t r = 0; r < records && ok; ++r) {
        for (size_t i = 0; i < series.size(); ++i) {
            const std::vector<std::string>& lines = series[i].lines;
            if (r >= lines.size()) continue;
            blocks[i] += lines[r];
            const bool day_ends = r + 1 == lines.size() || day(lines[r + 1]) != day(lines[r]);
            if (!day_ends && blocks[i].size() <= 64 * 1024) continue;
            ok = ok && write_all(fds[i], blocks[i]);
            blocks[i].clear();
            ++writes;
        }
    }
    const double secs = cpu_seconds() - start;
    for (int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    fs::remove_all(scratch);
    if (!ok) {
        std::fprintf(stderr, "kelm_writes: a write failed\n");
        return 1;
    }
    std::printf("%zu files, %zu records, %ld writes\n", paths.size(), records, writes);
    std::printf("writes: %.4f s CPU\n", secs);
    return 0;
}
