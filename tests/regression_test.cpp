// Output regression: whole runs of the example forcing must reproduce the
// committed reference files byte for byte. Set KELM_UPDATE_REFERENCES=1 to
// rewrite the references after a deliberate change of the model's results.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kExample = KELM_SOURCE_DIR "/io/input.txt";
const fs::path kReferences = KELM_SOURCE_DIR "/tests/reference";

// Runs the example in `dir` and compares every output file and the console text
// with the references of `name`; without a `site_par` text the site's file is
// written with its defaults like every other parameter file.
void run_and_compare(const TempDir& dir, const std::string& site_par, const std::string& name) {
    if (!site_par.empty()) write_file(dir.file("site.par"), site_par);
    const auto r = run_kelm(dir.str(), {kExample, "."});
    ASSERT_EQ(r.status, 0) << r.out;
    auto outputs = files(dir.path());
    outputs["console.txt"] = r.out;
    EXPECT_EQ(outputs.size(), 13u) << name;
    const fs::path ref = kReferences / name;
    const bool update = std::getenv("KELM_UPDATE_REFERENCES") != nullptr;
    if (update) fs::create_directories(ref);
    for (const auto& [file, text] : outputs) {
        if (update) write_file((ref / file).string(), text);
        EXPECT_EQ(text, read_file((ref / file).string())) << name << "/" << file;
    }
}

// The parameter files written with the defaults are the reference ones, byte for byte.
TEST(Regression, TreeOnlyWithEveryParameterFileWritten) {
    TempDir dir;
    run_and_compare(dir, "", "tree-only");
    const auto params = files(kReferences / "params", ".par");
    EXPECT_EQ(params.size(), 12u);
    for (const auto& [file, text] : params) EXPECT_EQ(read_file(dir.file(file)), text) << file;
}

TEST(Regression, WithShrubs) {
    TempDir dir;
    run_and_compare(dir, "_type 1\n", "with-shrubs");
}

TEST(Regression, DynamicCarbonAndRestart) {
    TempDir dir;
    for (const char* file : {"tree.foliage.par", "tree.stem.par", "shrub.foliage.par",
                             "shrub.stem.par", "root.fine.par", "root.coarse.par"}) {
        write_file(dir.file(file), "_dynamic 1\n");
    }
    run_and_compare(dir, "_type 1\n", "dynamic");
    // The files end at the example's last record; moved to the time one record
    // before its first, they are continued by the example itself.
    for (const auto& [file, text] : files(dir.path())) {
        std::string moved = text;
        moved.replace(moved.rfind("187, 23, 30, "), 13, "184, 23, 30, ");
        write_file(dir.file(file), moved);
    }
    run_and_compare(dir, "_type 1\n_restart 1\n", "dynamic-restart");
}

// The energy-conserving physics, which no reference file holds: the example's
// mean site sensible and latent heat and the tree foliage's and stems' sensible
// heat, W m-2, to a millionth of their scale.
TEST(Regression, EnergyConservingPhysicsWithShrubs) {
    TempDir dir;
    write_file(dir.file("site.par"), "_type 1\n_physics 1\n");
    ASSERT_EQ(run_kelm(dir.str(), {kExample, "."}).status, 0);
    EXPECT_NEAR(mean(dir.file("site.csv"), 5), 4.95927, 1e-4);
    EXPECT_NEAR(mean(dir.file("site.csv"), 6), 129.56307, 1e-4);
    EXPECT_NEAR(mean(dir.file("tree.foliage.csv"), 10), 21.71075, 1e-4);
    EXPECT_NEAR(mean(dir.file("tree.stem.csv"), 10), 4.74294, 1e-4);
}

}  // namespace
}  // namespace kelmora
