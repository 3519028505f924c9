#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "files/numbers.h"

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

std::vector<std::string> data_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

std::vector<double> column(const std::string& path, size_t column) {
    std::vector<double> values;
    std::vector<std::string_view> words;
    for (const std::string& line : data_lines(path)) {
        split_words(line, true, words);
        values.push_back(leading_real(words.at(column)));
    }
    return values;
}

double mean(const std::string& path, size_t column) {
    const std::vector<double> values = test::column(path, column);
    double sum = 0;
    for (double x : values) sum += x;
    return sum / values.size();
}

std::map<std::string, std::string> files(const std::filesystem::path& dir,
                                         const std::string& extension) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == extension) files[e.path().filename()] = read_file(e.path());
    }
    return files;
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
    return {.day = 1, .ta = 20, .pa = 101.3, .co2 = 380, .qa = 0.008, .tk = 293.15, .rho_air = 1.2};
}

std::string forcing_line(int day, int hour, int minute, double sw) {
    std::ostringstream s;
    s << day << ", " << hour << ", " << minute << ", 20, 1.2, 2.3, " << sw
      << ", 380, 0, 101.3, 400\n";
    return s.str();
}

std::string half_hourly(int n) {
    std::string text = "# day, hour, minute, ta, vpd, wind, sw, lw, precip, pa, co2\n";
    for (int i = 0; i < n; ++i) text += forcing_line(185, i / 2, i % 2 * 30);
    return text;
}

std::string make_forcing(const std::string& path, int first_day, int days) {
    const std::string cmd = "/usr/bin/python3 '" KELM_SOURCE_DIR "/tools/make_forcing.py' " +
                            std::to_string(first_day) + " " + std::to_string(days) + " 30 8 -o '" +
                            path + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
}

}  // namespace kelmora::test
