#include "leaf/foliage.h"

#include <cmath>

#include "files/forcing_record.h"
#include "physics/physics.h"

namespace kelmora {

namespace {

constexpr int32_t kDays = 365;
constexpr double kWinterLai = 0.1;

}  // namespace

double Foliage::default_lai(int32_t day, double peak) {
    if (day < 110) return kWinterLai;
    if (day < 140) return kWinterLai + (day - 110) * (peak - kWinterLai) / 30;
    if (day < 300) return peak;
    if (day <= 330) return kWinterLai + (330 - day) * (peak - kWinterLai) / 30;
    return kWinterLai;
}

Failure Foliage::init(const ForcingRecord& record, const std::string& out_path, bool is_shrub,
                      Restart* restart, bool conserving) {
    name = out_path + (is_shrub ? "shrub.foliage" : "tree.foliage");
    const double peak = is_shrub ? 3.0 : 6.0;
    for (int32_t d = 1; d <= kDays; ++d) _lai[static_cast<size_t>(d - 1)] = default_lai(d, peak);
    if (Failure failure = read_parameters(name + ".par")) return failure;
    temperature = record.tk;
    decomposition = 0;
    carbon = lai_of_day(record.day) / _sla;
    sums = {};
    if (restart) {
        const auto line = restart->last_line(name + ".csv", 12);
        if (!line) return "Foliage: failed to restart.";
        temperature = (*line)[3] + phys::kZeroCelsius;
        carbon = (*line)[4];
        _litter = (*line)[5];
    }
    return leaf.init(out_path, is_shrub, conserving, record.rho_air);
}

ParamFile Foliage::parameters() {
    ParamFile file{.column = 10};
    file.keys = {
        {"_dynamic", &_dynamic, kUnchecked, "carbon storage mode (0: static; 1: dynamic)"},
        {"_abs", &_abs, kOpenUnit, "absorptivity for PAR"},
        {"_refl", &_refl, kOpenUnit, "reflectivity for PAR"},
        {"_dim", &_dim, kPositive, "typical leaf with (m)"},
        {"_sla", &_sla, kPositive, "specific leaf area (m2Leaf kgC-1)"},
        {"_dmc", &_dmc, kPositive, "dry matter content (kgDry kgWet-1)"},
        {"_litter", &_litter, kPositive, "litter carbon from foliage (kgC m-2)"},
        {"_rd25", &_rd25, kNonNegative, "litter decomposition rate at 25C (kgC kgC-1 yr-1)"},
        {"_erd", &_erd, kPositive, "activation energy of litter decomposition (KJ mol-1)"},
        {"_rt", &_rt, kPositive, "residence time/life expectance (day)"},
    };
    file.numbered = NumberedKey{.base = "_lai",
                                .values = _lai.data(),
                                .first = 1,
                                .last = kDays,
                                .range = kNonNegative,
                                .message = ": Bad _lai value.",
                                .gap = "     ",
                                .remark_head = "    ->LAI on day ",
                                .remark_tail = "\n"};
    return file;
}

Failure Foliage::read_parameters(const std::string& path) {
    if (Failure failure = read_parameter_file(path, parameters())) return failure;
    if (_abs + _refl > 1) return path + ": _abs+_refl > 1.";
    return {};
}

Failure Foliage::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

Failure Foliage::open_output() {
    const std::string path = name + ".csv";
    Failure failure = output.create(path,
                                    "# Day of year\n# Hour\n# Minute\n"
                                    "# Temperature (C)\n"
                                    "# Carbon (kgC m-2)\n"
                                    "# Leaf litter (kgC m-2)\n"
                                    "# Leaf litter decomposition (umol m-2 -s)\n"
                                    "# Water evaporation (kg m-2 s-1)\n"
                                    "# Water transpiration (kg m-2 s-1)\n"
                                    "# Net absorbed radiation (W m-2)\n"
                                    "# Sensible heat flux (W m-2)\n"
                                    "# Latent heat flux (W m-2)\n",
                                    "Failed to open " + path);
    return failure ? failure : leaf.open_output();
}

void Foliage::refill_carbon(const ForcingRecord& record) {
    if (carbon <= 0) carbon = lai_of_day(record.day) / _sla;
}

void Foliage::update_carbon(const ForcingRecord& record, double dt, double soil_t, double soil_fw,
                            double alloc, double alloc_sum) {
    const int32_t d = record.day;
    decomposition = _rd25 * _litter * arrhenius(_erd, soil_t) * soil_fw;
    if (_dynamic == 0) {
        carbon = lai_of_day(d) / _sla;
        return;
    }
    _litter -= decomposition * dt * phys::kCarbonPerUmol;
    const double net = leaf.gross_production - leaf.dark_respiration;
    carbon += net * alloc * dt * phys::kCarbonPerUmol / alloc_sum;
    // The change of the prescribed leaf area towards the next day; the year wraps
    // round at both of its ends.
    const double change = (d == 1 || d == kDays) ? lai_of_day(1) - lai_of_day(kDays)
                                                 : lai_of_day(d + 1) - lai_of_day(d);
    if (change < 0) {
        const double k = -std::log(0.01) / (_rt * phys::kSecondsPerDay);
        const double fall = (1 - fall_exp_(-k * dt)) * carbon;
        _litter += fall;
        carbon -= fall;
    }
}

void Foliage::write_output(const ForcingRecord& record, SiteSums& leaving) {
    leaving.resp += sums.decomposition;
    leaving.latent += sums.latent;
    Sums& s = sums;
    output.write_means(record,
                       {&s.temperature, &s.carbon, &s.litter, &s.decomposition, &s.evaporation,
                        &s.transpiration, &s.net_radiation, &s.sensible, &s.latent});
}

}  // namespace kelmora
