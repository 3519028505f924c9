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
    SiteRead r;
    r.ok = site->read_parameters(dir.file("site.par"));
    r.error = site->error_text;
    if (!r.ok) r.error.replace(0, dir.str().size(), "io");
    r.type = site->_type;
    r.restart = site->_restart;
    r.dt = site->_dt;
    r.zref = site->_zref;
    return r;
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

TEST(ParameterFile, UnwritableMissingFileFails) {
    auto site = std::make_unique<Site>();
    EXPECT_FALSE(site->read_parameters("/nonexistent/dir/site.par"));
    EXPECT_EQ(site->error_text, "Failed to open /nonexistent/dir/site.par");
}

TEST(ParameterFile, ReadingRules) {
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
}

TEST(ParameterFile, BadValuesStopWithThePathAndTheKeysMessage) {
    EXPECT_EQ(read_site("_dt 0\n").error, "io/site.par: Bad time step.");
    EXPECT_EQ(read_site("_dt abc\n").error, "io/site.par: Bad time step.");
    EXPECT_EQ(read_site("_type 2\n").error, "io/site.par: Bad site type.");
    EXPECT_EQ(read_site("_type -1\n").error, "io/site.par: Bad site type.");
    EXPECT_EQ(read_site("_zref 0.5\n").error, "io/site.par: Bad site reference height.");
    EXPECT_EQ(read_site("_zref 1e999\n").error, "io/site.par: Bad site reference height.");
    EXPECT_EQ(read_site("_zref inf\n").error, "io/site.par: Bad site reference height.");
    // The line before the bad one has taken effect, the one after has not.
    const SiteRead r = read_site("_type 1\n_dt -5\n_zref 40\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.type, 1);
    EXPECT_EQ(r.dt, -5);
    EXPECT_EQ(r.zref, 30);
}

TEST(Numbers, LeadingNumberConversion) {
    EXPECT_EQ(leading_real("3e2"), 300);
    EXPECT_EQ(leading_real("20,"), 20);
    EXPECT_EQ(leading_real("-.5x"), -0.5);
    EXPECT_EQ(leading_real("+7."), 7);
    EXPECT_EQ(leading_real("1e"), 1);
    EXPECT_EQ(leading_real("2e+x"), 2);
    EXPECT_EQ(leading_real("."), 0);
    EXPECT_EQ(leading_real("inf"), 0);
    EXPECT_EQ(leading_real("nan"), 0);
    EXPECT_EQ(leading_real("0x1p3"), 0);
    EXPECT_EQ(leading_real(""), 0);
    EXPECT_TRUE(std::isinf(leading_real("1e400")));
    EXPECT_LT(leading_real("-1e400"), 0);
    EXPECT_EQ(leading_real("1e-400"), 0);
    EXPECT_EQ(leading_int("12.7"), 12);
    EXPECT_EQ(leading_int("-3x"), -3);
    EXPECT_EQ(leading_int("x3"), 0);
    EXPECT_EQ(leading_int("99999999999999999999"), 2147483647);
    EXPECT_EQ(leading_int("-99999999999"), -2147483647 - 1);
}

TEST(Numbers, DefaultNotationWithSixDigits) {
    EXPECT_EQ(real_text(30.0), "30");
    EXPECT_EQ(real_text(0.000072), "7.2e-05");
    EXPECT_EQ(real_text(1000000.0), "1e+06");
    EXPECT_EQ(real_text(0.6666666666666666), "0.666667");
    EXPECT_EQ(real_text(123456.7), "123457");
    EXPECT_EQ(real_text(0.0001), "0.0001");
    EXPECT_EQ(real_text(-2.5), "-2.5");
}

// A small table exercising the variants: numbered and list keys, white-space-only
// splitting, a skipped first line, the full stop, an offset.
struct Variant {
    double a = 1;
    int32_t n = 2;
    double kelvin = 279.15;
    std::array<double, 3> days{};
    std::vector<double> list;
};

std::array<ParamKey, 3> variant_keys(Variant& v) {
    return {{
        {"_a    ", nullptr, &v.a, kPositive, ": Bad _a value.", "    ->a\n"},
        {"_n    ", &v.n, nullptr, kAny, "", "\t->n\n"},
        {"_T    ",
         nullptr,
         &v.kelvin,
         {0, INFINITY, false},
         ": Bad _T value.",
         "    ->T (C)\n",
         273.15},
    }};
}

TEST(ParameterFile, VariantsOfTheSharedReader) {
    TempDir dir;
    Variant v;
    const auto keys = variant_keys(v);
    const double defaults[] = {0.5, 1.5};
    const NumberedKey numbered{"_d", v.days.data(), 1,   3, kNonNegative, ": Bad _d value.",
                               "  ", "    ->day ",  "\n"};
    const ListKey list{"_z", &v.list,     defaults, kPositive, ": Bad _z value.",
                       " ",  " ->layer ", " (m)\n"};
    ParamFile file{.keys = keys,
                   .numbered = &numbered,
                   .list = &list,
                   .title = "Parameters:",
                   .skip_first_line = true};
    auto site = std::make_unique<Site>();
    const std::string path = dir.file("v.par");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(read_file(path),
              "Parameters:\n_a    1    ->a\n_n    2\t->n\n_T    6    ->T (C)\n"
              "_d1  0    ->day 1\n_d2  0    ->day 2\n_d3  0    ->day 3\n"
              "_z1 0.5 ->layer 1 (m)\n_z2 1.5 ->layer 2 (m)\n");
    EXPECT_EQ(v.list, (std::vector<double>{0.5, 1.5}));
    EXPECT_DOUBLE_EQ(v.kelvin, 279.15);

    // The first line is never interpreted; list lines append whatever follows the base.
    v.list.clear();
    write_file(path, "_a 5\n_a 7\n_T -10\n_zX 0.2\nx_z 0.4\n_d3 2.5\n");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(v.a, 7);
    EXPECT_DOUBLE_EQ(v.kelvin, 263.15);
    EXPECT_EQ(v.list, (std::vector<double>{0.2, 0.4}));
    EXPECT_EQ(v.days[2], 2.5);

    const auto bad = [&](const std::string& text) {
        write_file(path, "title\n" + text);
        site->error_text.clear();
        EXPECT_FALSE(read_parameter_file(*site, path, file)) << text;
        return site->error_text.substr(path.size());
    };
    EXPECT_EQ(bad("_d0 1\n"), ": Bad _d value.");
    EXPECT_EQ(bad("_d4 1\n"), ": Bad _d value.");
    EXPECT_EQ(bad("_d 1\n"), ": Bad _d value.");
    EXPECT_EQ(bad("_dx 1\n"), ": Bad _d value.");
    EXPECT_EQ(bad("_d2 -1\n"), ": Bad _d value.");
    EXPECT_EQ(bad("_z1 0\n"), ": Bad _z value.");
    EXPECT_EQ(bad("_T -273.15\n"), ": Bad _T value.");
    EXPECT_EQ(bad("_a 0\n"), ": Bad _a value.");

    // Without comma handling a comma stays part of its word.
    file.commas_as_blanks = false;
    file.skip_first_line = false;
    v.a = 1;
    write_file(path, "_a, 5\n_a 6,\n_n,3\n");
    ASSERT_TRUE(read_parameter_file(*site, path, file));
    EXPECT_EQ(v.a, 6);
    EXPECT_EQ(v.n, 2);

    file.full_stop_on_failure = true;
    EXPECT_FALSE(read_parameter_file(*site, "/nonexistent/v.par", file));
    EXPECT_EQ(site->error_text, "Failed to open /nonexistent/v.par.");
}

}  // namespace
}  // namespace kelmora
