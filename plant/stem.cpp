#include "plant/stem.h"

#include <cmath>

#include "physics/physics.h"
#include "plant/plant.h"
#include "run/param_file.h"
#include "run/site.h"

namespace kelmora {

namespace {

std::array<ParamKey, 13> stem_keys(Stem& s) {
    return {{
        {"_dynamic  ", &s._dynamic, nullptr, kAny, "",
         "    ->carbon storage mode (0: static; 1: dynamic)\n"},
        {"_abs      ", nullptr, &s._abs, kOpenUnit, ": Bad _abs value.",
         "    ->absorptivity of PAR\n"},
        {"_refl     ", nullptr, &s._refl, kOpenUnit, ": Bad _refl value.",
         "    ->reflectivity of PAR\n"},
        {"_dim      ", nullptr, &s._dim, kPositive, ": Bad _dim value.",
         "    ->typical branch dimension (diameter) (m)\n"},
        {"_dmc      ", nullptr, &s._dmc, kPositive, ": Bad _dmc value.",
         "    ->dry matter content (kgDry kgWet-1)\n"},
        {"_carbon   ", nullptr, &s._carbon, kPositive, ": Bad _carbon value.",
         "    ->carbon (kg m-2)\n"},
        {"_ssa      ", nullptr, &s._ssa, kPositive, ": Bad _ssa value.",
         "    ->specific stem area (m2 kg-1)\n"},
        {"_re25     ", nullptr, &s._re25, kNonNegative, ": Bad _re25 value.",
         "    ->respiration rate at T=0C (kgC kgC-1 yr-1)\n"},
        {"_ere      ", nullptr, &s._ere, kPositive, ": Bad _ere value.",
         "    ->activation energy of _re25 (KJ mol-1)\n"},
        {"_litter   ", nullptr, &s._litter, kPositive, ": Bad _litter value.",
         "    ->litter carbon (kgC m-2)\n"},
        {"_rd25     ", nullptr, &s._rd25, kNonNegative, ": Bad _rd25 value.",
         "    ->decomposiion rate of stem litter at T=0C (kgC kgC-1 yr-1)\n"},
        {"_erd      ", nullptr, &s._erd, kPositive, ": Bad _erd value.",
         "    ->activation energy of _rd25 (KJ mol-1)\n"},
        {"_rt       ", nullptr, &s._rt, kPositive, ": Bad _rt value.",
         "    ->residence time/life expectance (yr)\n"},
    }};
}

}  // namespace

bool Stem::read_parameters(Site& site, const std::string& path) {
    const auto keys = stem_keys(*this);
    if (!read_parameter_file(site, path, ParamFile{.keys = keys})) return false;
    if (_abs + _refl > 1) {
        site.error_text = path + ": _abs+_refl > 1.";
        return false;
    }
    return true;
}

bool Stem::write_parameters(Site& site, const std::string& path) {
    const auto keys = stem_keys(*this);
    return write_parameter_file(site, path, ParamFile{.keys = keys});
}

bool Stem::init(const ForcingRecord& record, Site& site, const Plant& plant) {
    is_shrub = plant.is_shrub;
    name = site.out_path + (is_shrub ? "shrub.stem" : "tree.stem");
    if (is_shrub) {
        // The shrub's defaults; the file, when present, overrides them.
        _carbon = 1.5;
        _ssa = 0.6666666666666666;
    }
    if (!read_parameters(site, name + ".par")) return false;
    temperature = record.tk;
    respiration = 0;
    decomposition = 0;
    sums.fill(0);
    return open_output(site, name + ".csv");
}

bool Stem::open_output(Site& site, const std::string& path) {
    if (layer_restarts(site, is_shrub)) {
        const std::vector<std::string> words = read_last_line(path);
        if (words.size() < 6) {
            site.error_text = "Stem: failed restart.";
            return false;
        }
        temperature = word_value(words, 3) + phys::kZeroCelsius;
        _carbon = word_value(words, 4);
        _litter = word_value(words, 5);
    }
    return output.create(
        path,
        "# Day of year\n# Hour\n# Minute\n# Temperature (C)\n# Carbon (kgC m-2)\n"
        "# Litter (kgC m-2)\n# Stem respiration (umol m-2 -s)\n"
        "# Stem litter decomposition (umol m-2 -s)\n# Water evaporation (kg m-2 s-1)\n"
        "# Net absorbed radiation (W m-2)\n# Sensible heat flux (W m-2)\n"
        "# latent heat flux (W m-2)\n",
        "Stem: Failed to open " + path, site.error_text);
}

void Stem::update_carbon(const Site& site, const Plant& plant) {
    const double t = temperature;
    const double dt = site._dt;
    respiration = arrhenius(_ere, t) * _re25 * _carbon;
    // Litter lies on the stems, so the stem temperature drives its decay, slowed
    // by the dryness of the soil.
    decomposition = arrhenius(_erd, t) * _rd25 * _litter * site.soil._fw;
    if (_dynamic == 0) return;

    _litter -= dt * decomposition * phys::kCarbonPerUmol;
    _carbon -= dt * respiration * phys::kCarbonPerUmol;
    const Leaf& leaf = plant.foliage.leaf;
    const double net = leaf.gross_production - leaf.dark_respiration;
    _carbon += net * plant._alloc2 * dt * phys::kCarbonPerUmol / plant.alloc_sum();

    // One per cent of a cohort is left after the residence time.
    const double loss = 1 - std::exp(std::log(0.01) * dt / (_rt * phys::kSecondsPerYear));
    const double turnover = loss * _carbon;
    _litter += turnover;
    _carbon -= turnover;
}

bool Stem::write_output(const ForcingRecord& record, Site& site) {
    site.le_sum += sums[8];
    site.resp_sum += sums[3];
    site.resp_sum += sums[4];
    return output.write_means(record, sums, site.error_text);
}

}  // namespace kelmora
