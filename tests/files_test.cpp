// Parameter files of every component (each check and its message), the number
// conversions the files share, and the goodness of fit.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "run/numbers.h"
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
        {"site.par", "_type,1", ""},
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
        if (c.line == "<dir>") {
            std::filesystem::create_directory(path);
        } else {
            // The soil never reads its first line.
            test::write_file(path, "Parameters:\n" + c.line + "\n");
        }
        Site site;
        site.records = {test::mild_air()};
        const bool ok = site.init(dir.str());
        std::string expected = c.message;
        if (const size_t at = expected.find("{}"); at != std::string::npos) {
            expected.replace(at, 2, path);
        }
        EXPECT_EQ(ok, expected.empty()) << c.file << ": " << c.line;
        EXPECT_EQ(site.error_text, expected) << c.file << ": " << c.line;
    }
}

// A restart takes each component's state from the last line of its output file:
// a line of every word the component writes is taken, one word fewer stops the run.
TEST(Restart, LastLinesOfEveryWordAndOneWordFewer) {
    const std::string soil_line =
        "1, 0, 0, 5, 11, 12, 13, 14, 15, 16, 17, 18, 0.31, 0.32, 0.33, "
        "0.34, 0.35, 0.36, 0.37, 0.38";
    const struct {
        std::string file, line, message;
    } files[] = {
        {"tree.csv", "1, 0, 0, 21, 0.009, 1, 2, 3, 4, 5", "Plant: failed to restart."},
        {"tree.foliage.csv", "1, 0, 0, 22, 0.3, 0.2, 1, 2, 3, 4, 5, 6",
         "Foliage: failed to restart."},
        {"tree.stem.csv", "1, 0, 0, 23, 9, 0.4, 1, 2, 3, 4, 5, 6", "Stem: failed restart."},
        {"soil.csv", soil_line, "Soil: failed to restart."},
        {"root.fine.csv", "1, 0, 0, 1.4, 0.1, 1, 2", "Root: failed to restart."},
        {"root.coarse.csv", "1, 0, 0, 0.9, 0.6, 1, 2", "Root: failed to restart."},
    };
    for (size_t cut = 0; cut <= std::size(files); ++cut) {  // none cut at the end
        test::TempDir dir;
        test::write_file(dir.file("site.par"), "_restart 1\n");
        for (size_t k = 0; k < std::size(files); ++k) {
            const std::string& line = files[k].line;
            test::write_file(dir.file(files[k].file),
                             "# header\n" + (k == cut ? line.substr(0, line.rfind(',')) : line));
        }
        Site site;
        site.records = {test::mild_air()};
        const bool ok = site.init(dir.str());
        EXPECT_EQ(site.error_text, cut < std::size(files) ? files[cut].message : "");
        if (!ok) continue;
        EXPECT_DOUBLE_EQ(site.tree.t12, 21 + 273.15);
        EXPECT_EQ(site.tree.q12, 0.009);
        EXPECT_DOUBLE_EQ(site.tree.foliage.temperature, 22 + 273.15);
        EXPECT_EQ(site.tree.foliage.carbon + site.tree.foliage._litter, 0.3 + 0.2);
        EXPECT_DOUBLE_EQ(site.tree.stem.temperature, 23 + 273.15);
        EXPECT_EQ(site.tree.stem._carbon + site.tree.stem._litter, 9 + 0.4);
        EXPECT_DOUBLE_EQ(site.soil.temp[7], 18 + 273.15);
        EXPECT_DOUBLE_EQ(site.soil.water[7], 0.38 * 1000 * 6.4);
        EXPECT_EQ(site.soil.fine._life + site.soil.coarse._dead, 1.4 + 0.6);
    }
}

TEST(Numbers, LeadingNumberConversionAndTheDefaultNotation) {
    const std::pair<const char*, double> reals[] = {
        {"3e2", 300}, {"20,", 20},   {"-.5x", -0.5},  {"+7.", 7},       {"1e", 1},
        {"2e+x", 2},  {".", 0},      {"inf", 0},      {"nan", 0},       {"0x1p3", 0},
        {"", 0},      {"1e-400", 0}, {"-2E-1", -0.2}, {"12.5e1x", 125},
    };
    for (auto [text, value] : reals) EXPECT_EQ(leading_real(text), value) << text;
    EXPECT_TRUE(std::isinf(leading_real("1e400")));
    EXPECT_LT(leading_real("-1e400"), 0);
    const std::pair<const char*, int32_t> ints[] = {
        {"12.7", 12},
        {"-3x", -3},
        {"+4", 4},
        {"x3", 0},
        {"2147483647", 2147483647},
        {"99999999999999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (auto [text, value] : ints) EXPECT_EQ(leading_int(text), value) << text;
    const std::pair<double, const char*> texts[] = {
        {30.0, "30"},         {0.000072, "7.2e-05"},
        {1000000.0, "1e+06"}, {0.6666666666666666, "0.666667"},
        {123456.7, "123457"}, {0.0001, "0.0001"},
        {-2.5, "-2.5"},       {999999.5, "1e+06"},
    };
    for (auto [value, text] : texts) EXPECT_EQ(real_text(value), text);
    std::vector<std::string_view> words;
    split_words(" a,b\tc \r", true, words);
    EXPECT_EQ(words, (std::vector<std::string_view>{"a", "b", "c"}));
    split_words(" a,b\tc", false, words);
    EXPECT_EQ(words, (std::vector<std::string_view>{"a,b", "c"}));
}

TEST(Statistic, SquaredCorrelationByHandAndUndefinedCases) {
    // o = 1, 2, 3, 4 and s = 2, 4, 5, 4: r = 0.875 / sqrt(1.25 * 1.1875).
    const struct {
        std::vector<std::pair<double, double>> pairs;
        std::string printed;
    } cases[] = {
        {{{1, 2}, {2, 4}, {3, 5}, {4, 4}}, "Correlation: 0.515789\n"},
        {{{1, 1}, {2, 2}}, "Correlation: 1\n"},
        {{{1, 2}, {2, 1}}, "Correlation: 1\n"},
        {{}, ""},
        {{{1, 2}}, "Correlation: undefined\n"},
        {{{1, 0.1}, {2, 0.1}, {3, 0.1}}, "Correlation: undefined\n"},
        {{{5, 1}, {5, 2}}, "Correlation: undefined\n"},
        // Constant observations whose rounded sums leave a tiny variance.
        {{{0.7, 1}, {0.7, 2}, {0.7, 3}}, "Correlation: undefined\n"},
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
