// Parameter files of every component (each check and its message), the number
// conversions the files share, and the goodness of fit.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>

#include "files/line_reader.h"
#include "files/numbers.h"
#include "run/site.h"
#include "run/statistic.h"
#include "tests/test_support.h"

namespace kelmora {
namespace {

// One line of one file in an otherwise default directory and the message the
// site's initialisation stops with: "{}" stands for the file's path; an empty
// message means the line is accepted. "<dir>" puts a directory in the file's place.
TEST(ParameterFiles, EveryCheckOfEveryComponentWithItsMessage) {
    const struct {
        std::string file, line, message;
    } cases[] = {
        {"site.par", "_type 2", "{}: Bad site type."},
        {"site.par", "_type -1", "{}: Bad site type."},
        {"site.par", "_dt 0", "{}: Bad time step."},
        {"site.par", "_zref 0.99", "{}: Bad site reference height."},
        {"site.par", "_zref 19.9", "Tree top above site reference height."},
        {"site.par", "_zref 20", ""},
        {"site.par", "_physics 2", "{}: Bad physics option."},
        {"site.par", "_physics -1", "{}: Bad physics option."},
        {"site.par", "_physics 1", ""},
        {"site.par", "_restart 1", "Plant: failed to restart."},
        {"site.par", "_restart -3", "Plant: failed to restart."},
        {"site.par", "_restart yes", "{}: Bad _restart value."},
        {"site.par", "_dt abc", "{}: Bad time step."},
        {"site.par", "_dt 5.5xyz", "{}: Bad time step."},
        {"site.par", "_dt 1e30", "{}: Bad time step."},
        {"site.par", "_dt 1e400", "{}: Bad time step."},
        {"site.par", "_dt 0.9", "{}: Bad time step."},
        {"site.par", "_dt 15.9", ""},
        {"site.par", "_zref 30m", "{}: Bad site reference height."},
        {"tree.foliage.par", "_lai100 NA", "{}: Bad _lai value."},
        {"soil.par", "_dz1 0.1cm", "{}: Bad _dz value."},
        {"tree.leaf.par", "_vmax inf", "{}: Bad leaf _vmax value."},
        {"tree.par", "_ztop 0.9", "{}: Bad _ztop value."},
        {"tree.par", "_zbot 20", "Bad plant height data (_zbot>=_ztop)."},
        {"tree.par", "_zbot -0.1", "{}: Bad _zbot value."},
        {"tree.par", "_pai 0", "{}: Bad _pai value."},
        {"tree.par", "_pai 1", ""},
        {"tree.par", "_fpr 0", "{}: Bad _fpr value."},
        {"tree.par", "_fem -1", "{}: Bad _fem value."},
        {"tree.par", "_alloc2 -0.1", "{}: Bad _alloc2 value."},
        {"tree.par", "_alloc1 0\n_alloc2 0\n_alloc3 0\n_alloc4 0", "Bad allocation values."},
        {"tree.par", "_ztop 31", "Tree top above site reference height."},
        {"tree.par", "_ztop,31", ""},
        {"tree.par", "<dir>", "Failed to open {}."},
        {"shrub.par", "_ztop 5.1", "Shrub top above tree foliage bottem."},
        {"shrub.par", "_ztop 5", ""},
        {"tree.foliage.par", "_abs 1", "{}: Bad _abs value."},
        {"tree.foliage.par", "_abs 0.9", "{}: _abs+_refl > 1."},
        {"tree.foliage.par", "_refl 0", "{}: Bad _refl value."},
        {"tree.foliage.par", "_lai100 -1", "{}: Bad _lai value."},
        {"tree.foliage.par", "_lai366 1", "{}: Bad _lai value."},
        {"tree.foliage.par", "_lai0 1", "{}: Bad _lai value."},
        {"tree.foliage.par", "_litter,0", "{}: Bad _litter value."},
        {"tree.foliage.par", "_rd25 0", ""},
        {"tree.leaf.par", "_vmax -1", "{}: Bad leaf _vmax value."},
        {"tree.leaf.par", "_vmax 0", ""},
        {"tree.leaf.par", "_jmax 0", "{}: Bad leaf _jmax value."},
        {"tree.leaf.par", "_topt 0", "{}: Bad _topt value."},
        {"tree.leaf.par", "_g0 nan", "{}: Bad leaf _g0 value."},
        {"tree.leaf.par", "_vpd 7", ""},
        {"tree.leaf.par", "<dir>", "Failed to open {}."},
        {"shrub.leaf.par", "_stress 0", "{}: Bad leaf _stress value."},
        {"tree.stem.par", "_refl 0.31", "{}: _abs+_refl > 1."},
        {"tree.stem.par", "_carbon 0", "{}: Bad _carbon value."},
        {"tree.stem.par", "_re25 -1", "{}: Bad _re25 value."},
        {"tree.stem.par", "<dir>", "Failed to open {}"},
        {"soil.par", "_psie 0", "{}: Bad _psie value."},
        {"soil.par", "_W0 0.026", "{}: Bad _W0 value."},
        {"soil.par", "_W0 0.0266", ""},
        {"soil.par", "_Wd 0.53", ""},
        {"soil.par", "_Wd 0.54", "{}: Bad _Wd value."},
        {"soil.par", "_porosity 0.6\n_Wd 0.6", ""},
        {"soil.par", "_dz1 0.5", "{}: Bad _dz value."},
        {"soil.par", "_dz1 0.5\n_dz2 0", "{}: Bad _dz value."},
        {"soil.par", "_Td -273.15", "{}: Bad _Td value."},
        {"soil.par", "_Td -273", ""},
        {"soil.par", "_kw -1", "{}: Bad _kw value."},
        {"root.fine.par", "_dead -1", ""},
        {"root.fine.par", "_life 0", "{}: Bad _life value."},
        {"root.coarse.par", "_dead 0", "{}: Bad _dead value."},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const std::string path = dir.str() + "/" + c.file;
        // The soil never reads its first line.
        c.line == "<dir>" ? (void)std::filesystem::create_directory(path)
                          : test::write_file(path, "Parameters:\n" + c.line + "\n");
        Site site;
        site.records = {test::mild_air()};
        const bool ok = site.init(dir.str());
        std::string expected = c.message;
        if (expected.find("{}") != std::string::npos)
            expected.replace(expected.find("{}"), 2, path);
        EXPECT_EQ(ok, expected.empty()) << c.file << ": " << c.line;
        EXPECT_EQ(site.error_text, expected) << c.file << ": " << c.line;
    }
}

// The soil passes over the first line of its file, whatever it holds.
TEST(ParameterFiles, SoilPassesOverItsFirstLine) {
    test::TempDir dir;
    test::write_file(dir.file("soil.par"), "_psie 0\n");
    Site site;
    site.records = {test::mild_air()};
    EXPECT_TRUE(site.init(dir.str())) << site.error_text;
}

TEST(Numbers, LeadingNumberConversionAndTheDefaultNotation) {
    const std::pair<const char*, double> reals[] = {
        {"3e2", 300}, {"20,", 20},    {"-.5x", -0.5}, {"+7.", 7},      {"1e", 1},
        {"2e+x", 2},  {"1e+2x", 100}, {".", 0},       {"inf", 0},      {"nan", 0},
        {"0x1p3", 0}, {"", 0},        {"1e-400", 0},  {"-2E-1", -0.2}, {"12.5e1x", 125},
    };
    for (auto [text, value] : reals) EXPECT_EQ(leading_real(text), value) << text;
    EXPECT_TRUE(std::isinf(leading_real("1e400")));
    EXPECT_LT(leading_real("-1e400"), 0);
    const std::pair<const char*, int32_t> ints[] = {
        {"12.7", 12},
        {"-3x", -3},
        {"+4", 4},
        {"x3", 0},
        {"2147483647", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (auto [text, value] : ints) EXPECT_EQ(leading_int(text), value) << text;
    const std::pair<double, const char*> texts[] = {
        {30.0, "30"},         {0.000072, "7.2e-05"},
        {1000000.0, "1e+06"}, {0.6666666666666666, "0.666667"},
        {123456.7, "123457"}, {0.0001, "0.0001"},
        {-2.5, "-2.5"},       {999999.5, "1e+06"},
    };
    for (auto [value, text] : texts) EXPECT_EQ(real_text(value), text);
}

// The output's number text is printf's %.6g, which to_chars writes: over values of
// every magnitude the short way must give the same text, ties and their
// neighbours, the extremes and the rounding into the next decade included.
TEST(Numbers, RealTextIsSixSignificantDigits) {
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> mantissa(1, 10);
    std::uniform_int_distribution<int> decade(-20, 20);
    std::vector<double> values = {0.0,    -0.0,    1e-15,       1e15,     9.999995e14, 1.0000005,
                                  0.5,    2.5e-05, 1.234565,    1.234575, 999999.5,    9.999995e-5,
                                  1e-300, 1e300,   NAN,         INFINITY, -INFINITY,   123456.5,
                                  0.1,    0.3,     1.00000e-05, 99999.95, 1e21,        4.9e-324};
    for (int i = 0; i < 200000; ++i) {
        const double v = mantissa(random) * std::pow(10.0, decade(random));
        values.push_back(i % 2 ? v : -v);
        // Six-digit decimals and their halves lie at or next to the ties.
        const double six = std::round(v * 1e5 / std::pow(10.0, std::floor(std::log10(v)))) / 1e5;
        values.push_back((six + 5e-6) * std::pow(10.0, std::floor(std::log10(v))));
    }
    for (double v : values) {
        char expected[32];
        const char* end =
            std::to_chars(expected, expected + 32, v, std::chars_format::general, 6).ptr;
        ASSERT_EQ(real_text(v), std::string(static_cast<const char*>(expected), end))
            << std::hexfloat << v;
    }
    std::vector<std::string_view> words;
    split_words(" a,b\tc \r", true, words);
    EXPECT_EQ(words, (std::vector<std::string_view>{"a", "b", "c"}));
    split_words(" a,b\tc", false, words);
    EXPECT_EQ(words, (std::vector<std::string_view>{"a,b", "c"}));
}

// Quoted lines keep every printable character at the edges of the UTF-8 ranges
// and show each byte of an overlong form, a code point beyond U+10FFFF and a
// character that reorders or hides text as '?'.
TEST(QuotedLines, CharactersAtTheEdgesOfUtf8) {
    const std::pair<const char*, const char*> rows[] = {
        {"\xc2\xa0|\xc2\x9f", "\xc2\xa0|??"},               // no-break space; a C1 control
        {"\xe0\xa0\x80|\xe0\x9f\xbf", "\xe0\xa0\x80|???"},  // U+0800; overlong
        {"\xf0\x90\x80\x80|\xf0\x8f\xbf\xbf", "\xf0\x90\x80\x80|????"},
        {"\xf4\x8f\xbf\xbf|\xf4\x90\x80\x80", "\xf4\x8f\xbf\xbf|????"},
        {"\xd8\xa7|\xd8\x9c|\xd9\x9c", "\xd8\xa7|??|\xd9\x9c"},  // alef; letter mark
        {"\xe2\x80\x8a|\xe2\x80\x8b|\xe2\x80\xaf", "\xe2\x80\x8a|???|\xe2\x80\xaf"},
        {"\xe2\x81\x9f|\xe2\x81\xa0|\xef\xbb\xbf", "\xe2\x81\x9f|???|???"},
    };
    for (auto [line, shown] : rows) EXPECT_EQ(printable_excerpt(line), shown) << shown;
}

TEST(Statistic, SquaredCorrelationByHandAndUndefinedCases) {
    // o = 1, 2, 3, 4 and s = 2, 4, 5, 4: r = 0.875 / sqrt(1.25 * 1.1875).
    const struct {
        std::vector<std::pair<double, double>> pairs;
        std::string printed;
    } cases[] = {
        {{{1, 2}, {2, 4}, {3, 5}, {4, 4}}, "Correlation: 0.515789\n"},
        {{{1, 1}, {2, 2}}, "Correlation: 1\n"},
        {{}, ""},
        {{{1, 2}}, "Correlation: undefined\n"},
        {{{1, 0.1}, {2, 0.1}, {3, 0.1}}, "Correlation: undefined\n"},
        // Constant series whose rounded sums leave a tiny variance.
        {{{0.7, 1}, {0.7, 2}, {0.7, 3}}, "Correlation: undefined\n"},
        {{{1, 0.7}, {2, 0.7}, {3, 0.7}}, "Correlation: undefined\n"},
    };
    for (const auto& c : cases) {
        FitStatistic fit;
        for (auto [o, s] : c.pairs) fit.add(o, s);
        std::ostringstream text;
        fit.print(text);
        EXPECT_EQ(text.str(), c.printed);
        EXPECT_EQ(fit.count(), static_cast<int>(c.pairs.size()));
    }
}

}  // namespace
}  // namespace kelmora
