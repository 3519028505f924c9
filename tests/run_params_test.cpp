// Parameter files: the site's worked file, reading rules, number conversion and
// the variants of the shared reader.
#include <gtest/gtest.h>

#include <cmath>

#include "run/numbers.h"
#include "run/param_file.h"
#include "run/site.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

const char* kSitePar =
    "Parameters (name, value, remark):\n"
    "_type      0    ->site type (0: no shrub; 1: has shrub)\n"
    "_restart   0    ->restart (1) from previous run or new start (0)\n"
    "_dt        10    ->time step (s) to run model\n"
    "_zref      30    ->reference height of measurements above canopy (m)\n";

struct SiteRead {
    bool ok;
    std::string error;
    int32_t type, restart, dt;
    double zref;
};

SiteRead read_site(const std::string& text) {
    TempDir dir;
    write_file(dir.file("site.par"), text);
    auto site = std::make_unique<Site>();
    const bool ok = site->read_parameters(dir.file("site.par"));
    std::string error = site->error_text;
    if (!ok) error.replace(0, dir.str().size(), "io");
    return {ok, error, site->_type, site->_restart, site->_dt, site->_zref};
}

TEST(ParameterFile, MissingSiteFileIsWrittenWithTheDefaults) {
    TempDir dir;
    auto site = std::make_unique<Site>();
    ASSERT_TRUE(site->read_parameters(dir.file("site.par")));
    EXPECT_EQ(read_file(dir.file("site.par")), kSitePar);
    EXPECT_EQ(site->_dt, 10);
    EXPECT_EQ(site->_zref, 30);
    // An existing file is read and never rewritten.
    write_file(dir.file("site.par"), "_dt 20\n");
    ASSERT_TRUE(site->read_parameters(dir.file("site.par")));
    EXPECT_EQ(read_file(dir.file("site.par")), "_dt 20\n");
    EXPECT_EQ(site->_dt, 20);
}

TEST(ParameterFile, ReadingRulesAndBadValues) {
    EXPECT_EQ(read_site("_dt,20\n").dt, 20);
    EXPECT_EQ(read_site("_dt 20 more words\n").dt, 20);
    EXPECT_EQ(read_site("_DT 20\n").dt, 10);    // keys are case-sensitive
    EXPECT_EQ(read_site("_dtx 20\n").dt, 10);   // and whole words
    EXPECT_EQ(read_site("_dt 15.9\n").dt, 15);  // integer prefix
    EXPECT_EQ(read_site("_dt\n").dt, 10);       // a lone word is skipped
    EXPECT_EQ(read_site("_dt 20\n_dt 30\n").dt, 30);
    EXPECT_EQ(read_site("\n , ,\t\n_dt\t25\r\n").dt, 25);
    EXPECT_EQ(read_site("_zref 3e2\n").zref, 300);
    EXPECT_EQ(read_site("_restart 5\n").restart, 5);
    EXPECT_EQ(read_site("_type 1\n").type, 1);
    EXPECT_TRUE(read_site("_zref 1\n").ok);
    const std::pair<const char*, const char*> bad[] = {
        {"_dt 0\n", "Bad time step."},
        {"_dt abc\n", "Bad time step."},
        {"_type 2\n", "Bad site type."},
        {"_type -1\n", "Bad site type."},
        {"_zref 0.5\n", "Bad site reference height."},
        {"_zref 1e999\n", "Bad site reference height."},
        {"_zref inf\n", "Bad site reference height."},
    };
    for (auto [text, message] : bad)
        EXPECT_EQ(read_site(text).error, std::string("io/site.par: ") + message);
    // The line before the bad one has taken effect, the one after has not.
    const SiteRead r = read_site("_type 1\n_dt -5\n_zref 40\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.type, 1);
    EXPECT_EQ(r.dt, -5);
    EXPECT_EQ(r.zref, 30);
}

TEST(Numbers, LeadingNumberConversionAndTheDefaultNotation) {
    const std::pair<const char*, double> reals[] = {
        {"3e2", 300}, {"20,", 20}, {"-.5x", -0.5}, {"+7.", 7},   {"1e", 1}, {"2e+x", 2},
        {".", 0},     {"inf", 0},  {"nan", 0},     {"0x1p3", 0}, {"", 0},   {"1e-400", 0},
    };
    for (auto [text, value] : reals) EXPECT_EQ(leading_real(text), value) << text;
    EXPECT_TRUE(std::isinf(leading_real("1e400")));
    EXPECT_LT(leading_real("-1e400"), 0);
    const std::pair<const char*, int32_t> ints[] = {
        {"12.7", 12},
        {"-3x", -3},
        {"x3", 0},
        {"99999999999999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (auto [text, value] : ints) EXPECT_EQ(leading_int(text), value) << text;
    const std::pair<double, const char*> texts[] = {
        {30.0, "30"},         {0.000072, "7.2e-05"},
        {1000000.0, "1e+06"}, {0.6666666666666666, "0.666667"},
        {123456.7, "123457"}, {0.0001, "0.0001"},
        {-2.5, "-2.5"},
    };
    for (auto [value, text] : texts) EXPECT_EQ(real_text(value), text);
}

// A small table with each variant: numbered and list keys, white-space-only
// splitting, a skipped first line, the full stop, an offset.
TEST(ParameterFile, VariantsOfTheSharedReader) {
    TempDir dir;
    double a = 1, kelvin = 279.15;
    int32_t n = 2;
    std::array<double, 3> days{};
    std::vector<double> list;
    const std::array<ParamKey, 3> keys{{
        {"_a    ", nullptr, &a, kPositive, ": Bad _a value.", "    ->a\n"},
        {"_n    ", &n, nullptr, kAny, "", "\t->n\n"},
        {"_T    ",
         nullptr,
         &kelvin,
         {0, INFINITY, false},
         ": Bad _T value.",
         "    ->T (C)\n",
         273.15},
    }};
    const double defaults[] = {0.5, 1.5};
    const NumberedKey numbered{"_d", days.data(),  1,   3, kNonNegative, ": Bad _d value.",
                               "  ", "    ->day ", "\n"};
    const ListKey list_key{"_z", &list,       defaults, kPositive, ": Bad _z value.",
                           " ",  " ->layer ", " (m)\n"};
    ParamFile file{.keys = keys,
                   .numbered = &numbered,
                   .list = &list_key,
                   .title = "Parameters:",
                   .skip_first_line = true};
    auto site = std::make_unique<Site>();
    const std::string path = dir.file("v.par");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(read_file(path),
              "Parameters:\n_a    1    ->a\n_n    2\t->n\n_T    6    ->T (C)\n"
              "_d1  0    ->day 1\n_d2  0    ->day 2\n_d3  0    ->day 3\n"
              "_z1 0.5 ->layer 1 (m)\n_z2 1.5 ->layer 2 (m)\n");
    EXPECT_EQ(list, (std::vector<double>{0.5, 1.5}));
    EXPECT_DOUBLE_EQ(kelvin, 279.15);

    // The first line is never interpreted; list lines append whatever follows the base.
    list.clear();
    write_file(path, "_a 5\n_a 7\n_T -10\n_zX 0.2\nx_z 0.4\n_d3 2.5\n");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(a, 7);
    EXPECT_DOUBLE_EQ(kelvin, 263.15);
    EXPECT_EQ(list, (std::vector<double>{0.2, 0.4}));
    EXPECT_EQ(days[2], 2.5);

    const std::pair<const char*, const char*> bad[] = {
        {"_d0 1\n", ": Bad _d value."},      {"_d4 1\n", ": Bad _d value."},
        {"_d 1\n", ": Bad _d value."},       {"_dx 1\n", ": Bad _d value."},
        {"_d2 -1\n", ": Bad _d value."},     {"_z1 0\n", ": Bad _z value."},
        {"_T -273.15\n", ": Bad _T value."}, {"_a 0\n", ": Bad _a value."},
    };
    for (auto [text, message] : bad) {
        write_file(path, std::string("title\n") + text);
        EXPECT_FALSE(read_parameter_file(*site, path, file)) << text;
        EXPECT_EQ(site->error_text, path + message);
    }

    // Without comma handling a comma stays part of its word.
    file.commas_as_blanks = false;
    file.skip_first_line = false;
    write_file(path, "_a, 5\n_a 6,\n_n,3\n");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(a, 6);
    EXPECT_EQ(n, 2);

    file.full_stop_on_failure = true;
    EXPECT_FALSE(read_parameter_file(*site, "/nonexistent/v.par", file));
    EXPECT_EQ(site->error_text, "Failed to open /nonexistent/v.par.");
}

}  // namespace
}  // namespace kelmora
