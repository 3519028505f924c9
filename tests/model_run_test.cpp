// Whole runs of the model as a process: the files of a run, finite output, the
// site's columns, restart round trips for both site types, a long soak.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "run/numbers.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::data_lines;
using test::read_lines;
using test::run_kelm;
using test::TempDir;
using test::write_file;

const std::string kExample = KELM_SOURCE_DIR "/io/input.txt";
const char* kDynamicPools[] = {"tree.foliage.par", "tree.stem.par", "shrub.foliage.par",
                               "shrub.stem.par",   "root.fine.par", "root.coarse.par"};

// Output files: header lines, columns per data line, header of the first data column.
struct Output {
    size_t headers, columns;
    const char* first;
};
const std::map<std::string, Output> kOutputs = {
    {"site.csv", {7, 7, "#Gross primary production (umol m-2 s-1)"}},
    {"tree.csv", {10, 10, "# Air temperature at z12 (K)"}},
    {"shrub.csv", {10, 10, "# Air temperature at z12 (K)"}},
    {"tree.foliage.csv", {12, 12, "# Temperature (C)"}},
    {"shrub.foliage.csv", {12, 12, "# Temperature (C)"}},
    {"tree.leaf.csv", {14, 14, "# Gross production (umol m-2 s-1)"}},
    {"shrub.leaf.csv", {14, 14, "# Gross production (umol m-2 s-1)"}},
    {"tree.stem.csv", {12, 12, "# Temperature (C)"}},
    {"shrub.stem.csv", {12, 12, "# Temperature (C)"}},
    {"soil.csv", {6, 20, "# Net surface energy flux (W m-2)"}},
    {"root.fine.csv", {7, 7, "# Life root carbon (kgC m-2)"}},
    {"root.coarse.csv", {7, 7, "# Life root carbon (kgC m-2)"}},
};

bool is_shrub(const std::string& file) {
    return file.starts_with("shrub");
}

std::vector<double> values_of(const std::string& line) {
    std::vector<std::string_view> words;
    split_words(line, true, words);
    std::vector<double> v;
    for (auto w : words) v.push_back(leading_real(w));
    return v;
}

// The last data line of every output file that has one.
std::map<std::string, std::vector<double>> last_lines(const TempDir& dir) {
    std::map<std::string, std::vector<double>> last;
    for (const auto& [name, out] : kOutputs) {
        const auto lines = data_lines(dir.file(name));
        if (!lines.empty()) last[name] = values_of(lines.back());
    }
    return last;
}

void run_example(const TempDir& dir, bool shrub, bool dynamic) {
    if (dynamic) {
        for (const char* par : kDynamicPools) write_file(dir.file(par), "_dynamic 1\n");
    }
    if (shrub) write_file(dir.file("site.par"), "_type 1\n");
    const auto r = run_kelm(dir.str(), {kExample, "."});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_NE(r.out.find("Correlation: "), std::string::npos) << r.out;
}

// One line per record after the first with every value finite; with no shrub
// layer the shrub's files hold their headers only.
void expect_complete_output(const TempDir& dir, bool shrub) {
    const size_t records = data_lines(kExample).size();
    for (const auto& [name, out] : kOutputs) {
        const auto lines = data_lines(dir.file(name));
        ASSERT_EQ(lines.size(), is_shrub(name) && !shrub ? 0 : records - 1) << name;
        for (const auto& line : lines) {
            const auto v = values_of(line);
            ASSERT_EQ(v.size(), out.columns) << name << ": " << line;
            for (double x : v) ASSERT_TRUE(std::isfinite(x)) << name << ": " << line;
        }
    }
}

// The site's four columns of the last record collect the layers' and roots' sums.
void expect_site_columns_collect_the_layers(const TempDir& dir, bool shrub) {
    auto last = last_lines(dir);
    const auto layers = [&](const std::string& part, size_t w) {
        return last["tree" + part][w] + (shrub ? last["shrub" + part][w] : 0.0);
    };
    const double gpp = layers(".leaf.csv", 3);
    const double resp = layers(".leaf.csv", 4) + layers(".foliage.csv", 6) +
                        layers(".stem.csv", 6) + layers(".stem.csv", 7) + last["root.fine.csv"][5] +
                        last["root.fine.csv"][6] + last["root.coarse.csv"][5] +
                        last["root.coarse.csv"][6];
    const double h = last["tree.csv"][5];  // the shrub's heat stays in the canopy
    const double le = layers(".foliage.csv", 11) + layers(".stem.csv", 11);
    const double tolerance = 2e-5;  // the files hold six digits
    const auto& site = last["site.csv"];
    EXPECT_NEAR(site[3], gpp, tolerance * std::fabs(gpp) + 1e-9);
    EXPECT_NEAR(site[4], resp, tolerance * std::fabs(resp));
    EXPECT_NEAR(site[5], h, tolerance * std::fabs(h));
    EXPECT_NEAR(site[6], le, tolerance * std::fabs(le) + 1e-9);
}

TEST(ModelRun, TreeOnlyFromAnEmptyDirectory) {
    TempDir dir;
    run_example(dir, false, false);
    std::set<std::string> expected, found;
    for (const auto& [name, out] : kOutputs) {
        expected.insert(name);
        expected.insert(name.substr(0, name.size() - 3) + "par");
        const auto lines = read_lines(dir.file(name));
        ASSERT_GE(lines.size(), out.headers) << name;
        EXPECT_EQ(lines[3], out.first) << name;
        for (size_t i = 0; i < out.headers; ++i) EXPECT_EQ(lines[i][0], '#') << name;
    }
    for (const auto& e : fs::directory_iterator(dir.path())) found.insert(e.path().filename());
    EXPECT_EQ(found, expected);
    EXPECT_EQ(read_lines(dir.file("soil.csv"))[4], "# 8 columns of temperature (C)");
    EXPECT_EQ(read_lines(dir.file("soil.csv"))[5], "# 8 columns of water content (m3 m-3)");
    expect_complete_output(dir, false);
    expect_site_columns_collect_the_layers(dir, false);

    // A shrub layer cannot restart from a run without one.
    write_file(dir.file("site.par"), "_type 1\n_restart 1\n");
    const auto r = run_kelm(dir.str(), {kExample, "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.ends_with("Plant: failed to restart.")) << r.out;
}

// A restarted one-minute run of a single sub-step continues each component's
// state from its last line and writes every file anew.
void expect_restart_continues(const TempDir& dir, bool shrub) {
    auto before = last_lines(dir);
    write_file(dir.file("next.txt"),
               "1, 0, 0, 20, 1, 2, 0, 350, 0, 100, 400\n1, 0, 1, 20, 1, 2, 0, 350, 0, 100, 400\n");
    write_file(dir.file("site.par"),
               std::string(shrub ? "_type 1\n" : "") + "_restart 1\n_dt 60\n");
    // A fresh start would now hold the deepest layer at 10 C and 0.4.
    write_file(dir.file("soil.par"), test::read_file(dir.file("soil.par")) + "_Td 10\n_Wd 0.4\n");
    const auto r = run_kelm(dir.str(), {"next.txt", "."});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const auto& [name, out] : kOutputs) {
        EXPECT_EQ(data_lines(dir.file(name)).size(), is_shrub(name) && !shrub ? 0u : 1u) << name;
    }
    auto after = last_lines(dir);
    const auto near = [&](const std::string& file, size_t w, double tolerance) {
        ASSERT_EQ(after[file].size(), before[file].size()) << file;
        EXPECT_NEAR(after[file][w], before[file][w], tolerance) << file << " word " << w;
    };
    // Temperatures move by at most a few K in a minute, carbon and litter by its fluxes.
    for (const std::string layer : {"tree", "shrub"}) {
        if (layer == "shrub" && !shrub) continue;
        near(layer + ".csv", 3, 3.0);
        for (const std::string part : {".foliage.csv", ".stem.csv"}) {
            near(layer + part, 3, 3.0);
            for (size_t w : {4, 5})
                near(layer + part, w, 1e-4 * std::fabs(before[layer + part][w]));
        }
    }
    for (const std::string root : {"root.fine.csv", "root.coarse.csv"}) {
        for (size_t w : {3, 4}) near(root, w, 1e-4 * std::fabs(before[root][w]) + 1e-12);
    }
    // The deepest layer is fixed: its columns are the restored ones exactly.
    near("soil.csv", 11, 0);
    near("soil.csv", 19, 0);
    for (size_t w = 4; w < 19; ++w) near("soil.csv", w, 3.0);
}

TEST(ModelRun, RestartContinuesEveryComponentWithoutShrubs) {
    TempDir dir;
    run_example(dir, false, true);
    expect_restart_continues(dir, false);
}

TEST(ModelRun, WithShrubsAndRestart) {
    TempDir dir;
    run_example(dir, true, true);
    expect_complete_output(dir, true);
    expect_site_columns_collect_the_layers(dir, true);
    expect_restart_continues(dir, true);
}

TEST(ModelRun, RecordLineIsTheMeanOfItsSubSteps) {
    test::SiteInTemp s;
    Site& site = s.site;
    write_file(s.path("in.txt"),
               test::forcing_line(185, 12, 0, 22, 600) + test::forcing_line(185, 12, 10, 24, 500));
    ASSERT_TRUE(read_forcing(site, s.path("in.txt")));
    ASSERT_TRUE(site.init(s.dir.str())) << site.error_text;
    ForcingRecord& cur = site.records[1];
    double t12 = 0, foliage_t = 0;
    for (int32_t m = 0; m < cur.interval; m += site._dt) {
        ++cur.substeps;
        const ForcingRecord f = interpolate(site.records[0], cur, site._dt * 0.5 + m);
        ASSERT_TRUE(site.tree.step_a(f, site) && site.soil.step_a(f, site) &&
                    site.tree.step_b(f, site) && site.soil.step_b(f, site));
        t12 += site.tree.t12 - 273.15;
        foliage_t += site.tree.foliage.temperature - 273.15;
    }
    ASSERT_EQ(cur.substeps, 60);
    ASSERT_TRUE(site.tree.write_output(cur, site));
    const auto plant = values_of(data_lines(s.path("tree.csv")).back());
    const auto foliage = values_of(data_lines(s.path("tree.foliage.csv")).back());
    EXPECT_NEAR(plant[3], t12 / 60, 1e-5 * std::fabs(t12 / 60));
    EXPECT_NEAR(foliage[3], foliage_t / 60, 1e-5 * std::fabs(foliage_t / 60));
    EXPECT_EQ(site.tree.sums[0], 0);
    EXPECT_EQ(site.tree.foliage.sums[0], 0);
}

// Ten days of half-hourly weather across the new year, with a diurnal course and
// an afternoon shower every third day, shrubs and every pool dynamic.
TEST(ModelRun, SoakAcrossTheNewYear) {
    TempDir dir;
    std::string text;
    for (int k = 0; k < 10 * 48; ++k) {
        const int day = (360 + k / 48) % 365 + 1;
        const double hour = (k % 48) / 2.0;
        const double sun = std::max(0.0, std::sin((hour - 6) / 12 * 3.14159265));
        const bool shower = (k / 48) % 3 == 0 && hour >= 15 && hour < 17;
        text += test::forcing_line(day, static_cast<int>(hour), (k % 2) * 30, 12 + 10 * sun,
                                   800 * sun, shower ? 4.0 : 0.0);
    }
    write_file(dir.file("in.txt"), text);
    for (const char* par : kDynamicPools) write_file(dir.file(par), "_dynamic 1\n");
    write_file(dir.file("site.par"), "_type 1\n");
    const auto r = run_kelm(dir.str(), {"in.txt", "."});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("day 365\nday 1\n"), std::string::npos);
    for (const auto& [name, out] : kOutputs) {
        const auto lines = data_lines(dir.file(name));
        ASSERT_EQ(lines.size(), 10u * 48 - 1) << name;
        for (const auto& line : lines) {
            for (double x : values_of(line)) ASSERT_TRUE(std::isfinite(x)) << name << line;
        }
    }
}

}  // namespace
}  // namespace kelmora
