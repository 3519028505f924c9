#include "run/site.h"

#include <array>
#include <cmath>
#include <ostream>

#include "run/numbers.h"
#include "run/param_file.h"
#include "run/statistic.h"

namespace kelmora {

Site::Site() {
    tree.is_shrub = 0;
    tree._ztop = 20.0;
    tree._zbot = 5.0;
    shrub.is_shrub = 1;
    shrub._ztop = 1.5;
    shrub._zbot = 0.2;
}

namespace {

// The site file's header lines have no blank after '#'.
constexpr std::string_view kSiteHeaders =
    "#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
    "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n"
    "#Letent heat flux (W m-2)\n";

std::array<ParamKey, 4> site_keys(Site& s) {
    return {{
        {"_type      ",
         &s._type,
         nullptr,
         {0, 1},
         ": Bad site type.",
         "    ->site type (0: no shrub; 1: has shrub)\n"},
        {"_restart   ", &s._restart, nullptr, kAny, "",
         "    ->restart (1) from previous run or new start (0)\n"},
        {"_dt        ",
         &s._dt,
         nullptr,
         {1},
         ": Bad time step.",
         "    ->time step (s) to run model\n"},
        {"_zref      ",
         nullptr,
         &s._zref,
         {1.0},
         ": Bad site reference height.",
         "    ->reference height of measurements above canopy (m)\n"},
    }};
}

}  // namespace

bool Site::read_parameters(const std::string& path) {
    const auto keys = site_keys(*this);
    return read_parameter_file(*this, path, ParamFile{.keys = keys});
}

bool Site::write_parameters(const std::string& path) {
    const auto keys = site_keys(*this);
    return write_parameter_file(*this, path, ParamFile{.keys = keys});
}

bool Site::init(const std::string& path) {
    if (records.empty()) {
        error_text = "Empty input data.";
        return false;
    }
    out_path = path;
    if (!out_path.empty() && out_path.back() != '/' && out_path.back() != '\\') out_path += '/';
    if (!read_parameters(out_path + "site.par")) return false;
    const std::string csv = out_path + "site.csv";
    if (!output.create(csv, kSiteHeaders, "Failed to open " + csv, error_text)) return false;
    gpp_sum = resp_sum = h_sum = le_sum = 0;
    const ForcingRecord& first = records.front();
    return tree.init(first, *this) && shrub.init(first, *this) && soil.init(first, *this);
}

bool Site::write_line(const ForcingRecord& record) {
    output.begin_line(record);
    const double n = record.substeps;
    output.mean(gpp_sum, n);
    output.mean(resp_sum, n);
    output.mean(h_sum, n);
    output.mean(le_sum, n);
    return output.end_line(error_text);
}

bool Site::run(std::ostream& console) {
    const size_t count = records.size();
    if (count < 2) return true;
    int32_t last_day = -1;
    FitStatistic correlation;
    for (size_t i = 1; i < count; ++i) {
        const ForcingRecord& prev = records[i - 1];
        ForcingRecord& cur = records[i];
        if (prev.day != last_day) {
            console << "day " << prev.day << std::endl;  // progress shows as it goes
            last_day = prev.day;
        }
        cur.substeps = 0;
        if (cur.interval % _dt != 0) {
            error_text = "Error: data interval and dt not compatible.";
            return false;
        }
        for (int32_t m = 0; m < cur.interval; m += _dt) {
            ++cur.substeps;
            const ForcingRecord f = interpolate(prev, cur, _dt * 0.5 + m);
            const bool ok = tree.step_a(f, *this) && (!has_shrub() || shrub.step_a(f, *this)) &&
                            soil.step_a(f, *this) && tree.step_b(f, *this) &&
                            (!has_shrub() || shrub.step_b(f, *this)) && soil.step_b(f, *this);
            if (!ok) return false;
        }
        const bool written = tree.write_output(cur, *this) &&
                             (!has_shrub() || shrub.write_output(cur, *this)) &&
                             soil.write_output(cur, *this);
        if (!written) return false;
        if (std::fabs(cur.nep_obs) < 999.9) {
            correlation.add(cur.nep_obs, (gpp_sum - resp_sum) / cur.substeps);
        }
        if (!write_line(cur)) return false;
    }
    correlation.print(console);
    return true;
}

}  // namespace kelmora
