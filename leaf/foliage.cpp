#include "leaf/foliage.h"

#include <array>
#include <cmath>

#include "physics/physics.h"
#include "plant/plant.h"
#include "run/forcing.h"
#include "run/param_file.h"
#include "run/site.h"

namespace kelmora {

namespace {

constexpr int32_t kDays = 365;
constexpr double kWinterLai = 0.1;

std::array<ParamKey, 10> foliage_keys(Foliage& f) {
    return {{
        {"_dynamic  ", &f._dynamic, nullptr, kAny, "",
         "    ->carbon storage mode (0: static; 1: dynamic)\n"},
        {"_abs      ", nullptr, &f._abs, kOpenUnit, ": Bad _abs value.",
         "    ->absorptivity for PAR\n"},
        {"_refl     ", nullptr, &f._refl, kOpenUnit, ": Bad _refl value.",
         "    ->reflectivity for PAR\n"},
        {"_dim      ", nullptr, &f._dim, kPositive, ": Bad _dim value.",
         "    ->typical leaf with (m)\n"},
        {"_sla      ", nullptr, &f._sla, kPositive, ": Bad _sla value.",
         "    ->specific leaf area (m2Leaf kgC-1)\n"},
        {"_dmc      ", nullptr, &f._dmc, kPositive, ": Bad _dmc value.",
         "    ->dry matter content (kgDry kgWet-1)\n"},
        {"_litter   ", nullptr, &f.litter, kPositive, ": Bad _litter value.",
         "    ->litter carbon from foliage (kgC m-2)\n"},
        {"_rd25     ", nullptr, &f._rd25, kNonNegative, ": Bad _rd25 value.",
         "    ->litter decomposition rate at 25C (kgC kgC-1 yr-1)\n"},
        {"_erd      ", nullptr, &f._erd, kPositive, ": Bad _erd value.",
         "    ->activation energy of litter decomposition (KJ mol-1)\n"},
        {"_rt       ", nullptr, &f._rt, kPositive, ": Bad _rt value.",
         "    ->residence time/life expectance (day)\n"},
    }};
}

NumberedKey lai_key(Foliage& f) {
    return NumberedKey{.base = "_lai",
                       .values = f._lai.data(),
                       .first = 1,
                       .last = kDays,
                       .range = kNonNegative,
                       .message = ": Bad _lai value.",
                       .gap = "     ",
                       .remark_head = "    ->LAI on day ",
                       .remark_tail = "\n"};
}

}  // namespace

double Foliage::default_lai(int32_t day, double peak) {
    if (day < 110) return kWinterLai;
    if (day < 140) return kWinterLai + (day - 110) * (peak - kWinterLai) / 30;
    if (day < 300) return peak;
    if (day <= 330) return kWinterLai + (330 - day) * (peak - kWinterLai) / 30;
    return kWinterLai;
}

bool Foliage::init(const ForcingRecord& record, Site& site, const Plant& plant) {
    shrub_layer = plant.is_shrub != 0;
    name = site.out_path + (shrub_layer ? "shrub.foliage" : "tree.foliage");
    const double peak = plant.is_shrub == 1 ? 3.0 : 6.0;
    for (int32_t d = 1; d <= kDays; ++d) _lai[static_cast<size_t>(d - 1)] = default_lai(d, peak);
    if (!read_parameters(site, name + ".par")) return false;
    temperature = record.tk;
    decomposition = 0;
    carbon = lai_of_day(record.day) / _sla;
    sums.fill(0);
    if (!open_output(site, name + ".csv")) return false;
    return leaf.init(site, plant);
}

bool Foliage::read_parameters(Site& site, const std::string& path) {
    const auto keys = foliage_keys(*this);
    const NumberedKey lai = lai_key(*this);
    if (!read_parameter_file(site, path, ParamFile{.keys = keys, .numbered = &lai})) return false;
    if (_abs + _refl > 1) {
        site.error_text = path + ": _abs+_refl > 1.";
        return false;
    }
    return true;
}

bool Foliage::write_parameters(Site& site, const std::string& path) {
    const auto keys = foliage_keys(*this);
    const NumberedKey lai = lai_key(*this);
    return write_parameter_file(site, path, ParamFile{.keys = keys, .numbered = &lai});
}

bool Foliage::open_output(Site& site, const std::string& path) {
    const bool restart = layer_restarts(site, shrub_layer ? 1 : 0);
    if (restart) {
        const std::vector<std::string> words = read_last_line(path);
        if (words.size() < 6) {
            site.error_text = "Foliage: failed to restart.";
            return false;
        }
        temperature = word_value(words, 3) + phys::kZeroCelsius;
        carbon = word_value(words, 4);
        litter = word_value(words, 5);
    }
    return output.create(path,
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
                         "Failed to open " + path, site.error_text);
}

void Foliage::refill_carbon(const ForcingRecord& record) {
    if (carbon <= 0) carbon = lai_of_day(record.day) / _sla;
}

void Foliage::update_carbon(const ForcingRecord& record, const Site& site, const Plant& plant) {
    const int32_t d = record.day;
    const double dt = site._dt;
    decomposition = _rd25 * litter * arrhenius(_erd, site.soil._Ts) * site.soil._fw;
    if (_dynamic == 0) {
        carbon = lai_of_day(d) / _sla;
        return;
    }
    litter -= decomposition * dt * phys::kCarbonPerUmol;
    const double net = leaf.gross_production - leaf.dark_respiration;
    carbon += net * plant._alloc1 * dt * phys::kCarbonPerUmol / plant.alloc_sum();
    // The change of the prescribed leaf area towards the next day; the year wraps
    // round at both of its ends.
    const double change = (d == 1 || d == kDays) ? lai_of_day(1) - lai_of_day(kDays)
                                                 : lai_of_day(d + 1) - lai_of_day(d);
    if (change < 0) {
        const double k = -std::log(0.01) / (_rt * phys::kSecondsPerDay);
        const double fall = (1 - std::exp(-k * dt)) * carbon;
        litter += fall;
        carbon -= fall;
    }
}

bool Foliage::write_output(const ForcingRecord& record, Site& site) {
    site.resp_sum += sums[3];
    site.le_sum += sums[8];
    return output.write_means(record, sums, site.error_text);
}

}  // namespace kelmora
