// Whole runs of the model as a process: the files of a run, finite output,
// one line per record, restart round trips for both site types.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "run/numbers.h"
#include "run/output_file.h"
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

// Output files with their number of header lines and the header of their first
// data column.
const std::map<std::string, std::pair<size_t, std::string>> kOutputs = {
    {"site.csv", {7, "#Gross primary production (umol m-2 s-1)"}},
    {"tree.csv", {10, "# Air temperature at z12 (K)"}},
    {"shrub.csv", {10, "# Air temperature at z12 (K)"}},
    {"tree.foliage.csv", {12, "# Temperature (C)"}},
    {"shrub.foliage.csv", {12, "# Temperature (C)"}},
    {"tree.leaf.csv", {14, "# Gross production (umol m-2 s-1)"}},
    {"shrub.leaf.csv", {14, "# Gross production (umol m-2 s-1)"}},
    {"tree.stem.csv", {12, "# Temperature (C)"}},
    {"shrub.stem.csv", {12, "# Temperature (C)"}},
    {"soil.csv", {6, "# Net surface energy flux (W m-2)"}},
    {"root.fine.csv", {7, "# Life root carbon (kgC m-2)"}},
    {"root.coarse.csv", {7, "# Life root carbon (kgC m-2)"}},
};

std::set<std::string> files_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::vector<double> values_of(const std::string& line) {
    std::vector<std::string_view> words;
    split_words(line, true, words);
    std::vector<double> v;
    for (auto w : words) v.push_back(leading_real(w));
    return v;
}

// Runs the example in `dir` with the given site parameters; expects success.
void run_example(const TempDir& dir, const std::string& site_par) {
    write_file(dir.file("site.par"), site_par);
    const auto r = run_kelm(dir.str(), {kExample, "."});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_NE(r.out.find("Correlation: "), std::string::npos) << r.out;
}

TEST(ModelRun, EmptyDirectoryReceivesEveryFileWithItsHeaders) {
    TempDir dir;
    run_example(dir, "_type 0\n");
    std::set<std::string> expected;
    for (const auto& [name, header] : kOutputs) {
        expected.insert(name);
        expected.insert(name.substr(0, name.size() - 3) + "par");
    }
    EXPECT_EQ(files_in(dir.path()), expected);
    for (const auto& [name, header] : kOutputs) {
        const auto lines = read_lines(dir.file(name));
        ASSERT_GE(lines.size(), header.first) << name;
        EXPECT_EQ(lines[3], header.second) << name;
        for (size_t i = 0; i < header.first; ++i) EXPECT_EQ(lines[i][0], '#') << name;
        // Without a shrub layer the shrub's files hold their headers only.
        if (name.rfind("shrub", 0) == 0) {
            EXPECT_EQ(lines.size(), header.first) << name;
        } else {
            ASSERT_GT(lines.size(), header.first) << name;
            EXPECT_NE(lines[header.first][0], '#') << name;
        }
    }
    EXPECT_EQ(read_lines(dir.file("soil.csv"))[4], "# 8 columns of temperature (C)");
    EXPECT_EQ(read_lines(dir.file("soil.csv"))[5], "# 8 columns of water content (m3 m-3)");
}

// Every file that a run steps holds one line per record after the first, with
// the right number of values, all finite.
void expect_complete_output(const TempDir& dir, bool shrub) {
    const size_t records = data_lines(kExample).size();
    const std::map<std::string, size_t> columns = {
        {"site.csv", 7},       {"tree.csv", 10}, {"tree.foliage.csv", 12}, {"tree.leaf.csv", 14},
        {"tree.stem.csv", 12}, {"soil.csv", 20}, {"root.fine.csv", 7},     {"root.coarse.csv", 7},
    };
    for (const auto& [name, count] : columns) {
        for (const std::string& file : {name, "shrub" + name.substr(name.find('.'))}) {
            const bool shrub_file = file.rfind("shrub", 0) == 0;
            if (shrub_file && name.rfind("tree", 0) != 0) continue;
            const auto lines = data_lines(dir.file(file));
            if (shrub_file && !shrub) {
                EXPECT_TRUE(lines.empty()) << file;
                continue;
            }
            ASSERT_EQ(lines.size(), records - 1) << file;
            for (const auto& line : lines) {
                const auto v = values_of(line);
                ASSERT_EQ(v.size(), count) << file << ": " << line;
                for (double x : v) ASSERT_TRUE(std::isfinite(x)) << file << ": " << line;
            }
        }
    }
}

TEST(ModelRun, ExampleRunsWithAndWithoutShrubs) {
    TempDir tree_only;
    run_example(tree_only, "_type 0\n");
    expect_complete_output(tree_only, false);
    TempDir with_shrub;
    run_example(with_shrub, "_type 1\n");
    expect_complete_output(with_shrub, true);
    // The shrub layer changes what reaches the soil.
    EXPECT_NE(data_lines(tree_only.file("soil.csv")).back(),
              data_lines(with_shrub.file("soil.csv")).back());
}

// The state columns that a restart takes over, by file: the 0-based words.
const std::map<std::string, std::vector<size_t>> kRestored = {
    {"foliage.csv", {3, 4, 5}},  // temperature, carbon, litter
    {"stem.csv", {3, 4, 5}},     // temperature, carbon, litter
    {"root.fine.csv", {3, 4}},   // live and dead carbon
    {"root.coarse.csv", {3, 4}},
};

// A one-minute span of a single sub-step, right after the example.
const char* kNextMinute =
    "1, 0, 0, 20, 1, 2, 0, 350, 0, 100, 400\n"
    "1, 0, 1, 20, 1, 2, 0, 350, 0, 100, 400\n";

// Runs the example with every pool in the dynamic mode, then a restarted
// one-minute run, and checks that each component continues from its last line.
void expect_restart_continues(bool shrub) {
    TempDir dir;
    for (const char* part : {"tree", "shrub"}) {
        write_file(dir.file(std::string(part) + ".foliage.par"), "_dynamic 1\n");
        write_file(dir.file(std::string(part) + ".stem.par"), "_dynamic 1\n");
    }
    write_file(dir.file("root.fine.par"), "_dynamic 1\n");
    write_file(dir.file("root.coarse.par"), "_dynamic 1\n");
    run_example(dir, shrub ? "_type 1\n" : "_type 0\n");
    std::map<std::string, std::vector<double>> before;
    for (const auto& name : fs::directory_iterator(dir.path())) {
        if (name.path().extension() == ".csv") {
            const auto lines = data_lines(name.path().string());
            if (!lines.empty()) before[name.path().filename()] = values_of(lines.back());
        }
    }
    write_file(dir.file("next.txt"), kNextMinute);
    write_file(dir.file("site.par"),
               std::string(shrub ? "_type 1\n" : "_type 0\n") + "_restart 1\n_dt 60\n");
    const auto r = run_kelm(dir.str(), {"next.txt", "."});
    ASSERT_EQ(r.status, 0) << r.out;

    const auto after = [&](const std::string& file) {
        const auto lines = data_lines(dir.file(file));
        EXPECT_EQ(lines.size(), 1u) << file << " is written anew";
        return lines.empty() ? std::vector<double>{} : values_of(lines[0]);
    };
    for (const std::string layer : {"tree", "shrub"}) {
        if (layer == "shrub" && !shrub) continue;
        for (const auto& [suffix, words] : kRestored) {
            if (suffix.rfind("root", 0) == 0) continue;
            const std::string file = layer + "." + suffix;
            const auto a = after(file);
            for (size_t w : words) {
                // Carbon and litter move by a minute's fluxes; temperatures by at most a few K.
                const double tolerance = w == 3 ? 3.0 : 1e-4 * std::fabs(before[file][w]);
                EXPECT_NEAR(a[w], before[file][w], tolerance) << file << " word " << w;
            }
        }
        // The air node continues from the last line too.
        EXPECT_NEAR(after(layer + ".csv")[3], before[layer + ".csv"][3], 3.0) << layer;
    }
    for (const std::string file : {"root.fine.csv", "root.coarse.csv"}) {
        const auto a = after(file);
        for (size_t w : kRestored.at(file)) {
            EXPECT_NEAR(a[w], before[file][w], 1e-4 * std::fabs(before[file][w]) + 1e-12) << file;
        }
    }
    // The deepest layer is fixed: its columns are the restored ones exactly.
    const auto soil = after("soil.csv");
    EXPECT_EQ(soil[11], before["soil.csv"][11]);
    EXPECT_EQ(soil[19], before["soil.csv"][19]);
    for (size_t w = 4; w < 19; ++w) EXPECT_NEAR(soil[w], before["soil.csv"][w], 3.0) << w;
    // Every other file starts again from its headers.
    EXPECT_EQ(data_lines(dir.file("site.csv")).size(), 1u);
    EXPECT_EQ(data_lines(dir.file("tree.leaf.csv")).size(), 1u);
}

TEST(ModelRun, RestartContinuesEveryComponentWithoutShrubs) {
    expect_restart_continues(false);
}

TEST(ModelRun, RestartContinuesEveryComponentWithShrubs) {
    expect_restart_continues(true);
}

TEST(ModelRun, ShrubRestartNeedsAnEarlierShrubRun) {
    TempDir dir;
    run_example(dir, "_type 0\n");
    write_file(dir.file("site.par"), "_type 1\n_restart 1\n");
    const auto r = run_kelm(dir.str(), {kExample, "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.ends_with("Plant: failed to restart.")) << r.out;
}

TEST(ModelRun, RestartWithoutEarlierFilesFailsAtTheTree) {
    TempDir dir;
    write_file(dir.file("site.par"), "_restart 1\n");
    const auto r = run_kelm(dir.str(), {kExample, "."});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.ends_with("Plant: failed to restart.")) << r.out;
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

// The mean of the last data line's word `w` of `file` in `dir`.
double last_value(const TempDir& dir, const std::string& file, size_t w) {
    return values_of(data_lines(dir.file(file)).back())[w];
}

void expect_site_columns_collect_the_layers(bool shrub) {
    TempDir dir;
    run_example(dir, shrub ? "_type 1\n" : "_type 0\n");
    const auto layer_sum = [&](const std::string& part, size_t w) {
        double sum = last_value(dir, "tree" + part, w);
        if (shrub) sum += last_value(dir, "shrub" + part, w);
        return sum;
    };
    const double gpp = layer_sum(".leaf.csv", 3);
    const double resp = layer_sum(".leaf.csv", 4) + layer_sum(".foliage.csv", 6) +
                        layer_sum(".stem.csv", 6) + layer_sum(".stem.csv", 7) +
                        last_value(dir, "root.fine.csv", 5) + last_value(dir, "root.fine.csv", 6) +
                        last_value(dir, "root.coarse.csv", 5) +
                        last_value(dir, "root.coarse.csv", 6);
    const double h = last_value(dir, "tree.csv", 5);  // the shrub's heat stays in the canopy
    const double le = layer_sum(".foliage.csv", 11) + layer_sum(".stem.csv", 11);
    const double tolerance = 2e-5;  // the files hold six digits
    EXPECT_NEAR(last_value(dir, "site.csv", 3), gpp, tolerance * std::fabs(gpp) + 1e-9);
    EXPECT_NEAR(last_value(dir, "site.csv", 4), resp, tolerance * std::fabs(resp));
    EXPECT_NEAR(last_value(dir, "site.csv", 5), h, tolerance * std::fabs(h));
    EXPECT_NEAR(last_value(dir, "site.csv", 6), le, tolerance * std::fabs(le) + 1e-9);
}

TEST(ModelRun, SiteColumnsCollectTheTreeAndRoots) {
    expect_site_columns_collect_the_layers(false);
}

TEST(ModelRun, SiteColumnsCollectTreeShrubAndRoots) {
    expect_site_columns_collect_the_layers(true);
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
    // The sums start again for the next record.
    EXPECT_EQ(site.tree.sums[0], 0);
    EXPECT_EQ(site.tree.foliage.sums[0], 0);
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

// Half-hourly weather with a diurnal course and an afternoon shower every third
// day, from `first_day` on, across the end of the year.
std::string weather(int first_day, int days) {
    std::string text;
    for (int k = 0; k < days * 48; ++k) {
        const int day = (first_day - 1 + k / 48) % 365 + 1;
        const double hour = (k % 48) / 2.0;
        const double sun = std::max(0.0, std::sin((hour - 6) / 12 * 3.14159265));
        const bool shower = (k / 48) % 3 == 0 && hour >= 15 && hour < 17;
        text += test::forcing_line(day, static_cast<int>(hour), (k % 2) * 30, 12 + 10 * sun,
                                   800 * sun, shower ? 4.0 : 0.0);
    }
    return text;
}

TEST(ModelRun, SoakWithShrubsAndEveryPoolDynamic) {
    TempDir dir;
    for (const char* file : {"tree.foliage.par", "tree.stem.par", "shrub.foliage.par",
                             "shrub.stem.par", "root.fine.par", "root.coarse.par"}) {
        write_file(dir.file(file), "_dynamic 1\n");
    }
    write_file(dir.file("site.par"), "_type 1\n");
    write_file(dir.file("in.txt"), weather(361, 10));
    const auto r = run_kelm(dir.str(), {"in.txt", "."});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("day 365\nday 1\n"), std::string::npos);
    for (const auto& e : fs::directory_iterator(dir.path())) {
        if (e.path().extension() != ".csv") continue;
        const auto lines = data_lines(e.path().string());
        ASSERT_EQ(lines.size(), 10u * 48 - 1) << e.path();
        for (const auto& line : lines) {
            for (double x : values_of(line)) ASSERT_TRUE(std::isfinite(x)) << e.path() << line;
        }
    }
}

}  // namespace
}  // namespace kelmora
