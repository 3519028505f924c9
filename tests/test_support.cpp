#include "tests/test_support.h"

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace kelmora::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = fs::temp_directory_path() /
            ("kelm-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> data_lines(const std::string& path) {
    std::vector<std::string> lines;
    for (auto& l : read_lines(path)) {
        if (!l.empty() && l[0] != '#') lines.push_back(l);
    }
    return lines;
}

ProcessResult run_kelm(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& runner) {
    std::string cmd = "cd '" + dir + "' && " + runner + " '" KELM_BINARY "'";
    // Arguments that start with "<(" stay bash's: <(cat f) is a pipe.
    for (const auto& a : args) cmd += a.starts_with("<(") ? " " + a : " '" + a + "'";
    std::string quoted = "'";
    for (char c : cmd + " </dev/null 2>&1") quoted += c == '\'' ? "'\\''" : std::string(1, c);
    ProcessResult result;
    FILE* pipe = popen(("bash -c " + quoted + "'").c_str(), "r");
    if (!pipe) return result;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ForcingRecord mild_air() {
    ForcingRecord r;
    r.day = 1;
    r.ta = 20;
    r.tk = 293.15;
    r.qa = 0.008;
    r.rho_air = 1.2;
    r.pa = 101.3;
    r.co2 = 380;
    return r;
}

std::string forcing_line(int day, int hour, int minute, double ta, double sw, double precip,
                         double obs, bool with_obs) {
    std::ostringstream s;
    s << day << ", " << hour << ", " << minute << ", " << ta << ", 1.2, 2.3, " << sw << ", 380, "
      << precip << ", 101.3, 400";
    if (with_obs) s << ", " << obs;
    s << "\n";
    return s.str();
}

}  // namespace kelmora::test
