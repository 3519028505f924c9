#include "plant/stem.h"

#include <cmath>

#include "files/forcing_record.h"
#include "physics/physics.h"

namespace kelmora {

ParamFile Stem::parameters() {
    ParamFile file{.column = 10};
    file.keys = {
        {"_dynamic", &_dynamic, kUnchecked, "carbon storage mode (0: static; 1: dynamic)"},
        {"_abs", &_abs, kOpenUnit, "absorptivity of PAR"},
        {"_refl", &_refl, kOpenUnit, "reflectivity of PAR"},
        {"_dim", &_dim, kPositive, "typical branch dimension (diameter) (m)"},
        {"_dmc", &_dmc, kPositive, "dry matter content (kgDry kgWet-1)"},
        {"_carbon", &_carbon, kPositive, "carbon (kg m-2)"},
        {"_ssa", &_ssa, kPositive, "specific stem area (m2 kg-1)"},
        {"_re25", &_re25, kNonNegative, "respiration rate at T=0C (kgC kgC-1 yr-1)"},
        {"_ere", &_ere, kPositive, "activation energy of _re25 (KJ mol-1)"},
        {"_litter", &_litter, kPositive, "litter carbon (kgC m-2)"},
        {"_rd25", &_rd25, kNonNegative,
         "decomposiion rate of stem litter at T=0C (kgC kgC-1 yr-1)"},
        {"_erd", &_erd, kPositive, "activation energy of _rd25 (KJ mol-1)"},
        {"_rt", &_rt, kPositive, "residence time/life expectance (yr)"},
    };
    return file;
}

Failure Stem::read_parameters(const std::string& path) {
    if (Failure failure = read_parameter_file(path, parameters())) return failure;
    if (_abs + _refl > 1) return path + ": _abs+_refl > 1.";
    return {};
}

Failure Stem::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

Failure Stem::init(const ForcingRecord& record, const std::string& out_path, bool is_shrub,
                   Restart* restart) {
    name = out_path + (is_shrub ? "shrub.stem" : "tree.stem");
    if (is_shrub) {
        // The shrub's defaults; the file, when present, overrides them.
        _carbon = 1.5;
        _ssa = 0.6666666666666666;
    }
    if (Failure failure = read_parameters(name + ".par")) return failure;
    temperature = record.tk;
    respiration = 0;
    decomposition = 0;
    sums = {};
    if (restart) {
        const auto line = restart->last_line(name + ".csv", 12);
        if (!line) return "Stem: failed restart.";
        temperature = (*line)[3] + phys::kZeroCelsius;
        _carbon = (*line)[4];
        _litter = (*line)[5];
    }
    return {};
}

Failure Stem::open_output() {
    const std::string path = name + ".csv";
    return output.create(
        path,
        "# Day of year\n# Hour\n# Minute\n# Temperature (C)\n# Carbon (kgC m-2)\n"
        "# Litter (kgC m-2)\n# Stem respiration (umol m-2 -s)\n"
        "# Stem litter decomposition (umol m-2 -s)\n# Water evaporation (kg m-2 s-1)\n"
        "# Net absorbed radiation (W m-2)\n# Sensible heat flux (W m-2)\n"
        "# latent heat flux (W m-2)\n",
        "Stem: Failed to open " + path);
}

void Stem::update_carbon(double dt, double soil_fw, double net, double alloc, double alloc_sum,
                         double t) {
    respiration = arrhenius_(_ere, t) * _re25 * _carbon;
    // Litter lies on the stems, so the stem temperature drives its decay, slowed
    // by the dryness of the soil.
    decomposition = arrhenius_(_erd, t) * _rd25 * _litter * soil_fw;
    if (_dynamic == 0) return;

    _litter -= dt * decomposition * phys::kCarbonPerUmol;
    _carbon -= dt * respiration * phys::kCarbonPerUmol;
    _carbon += net * alloc * dt * phys::kCarbonPerUmol / alloc_sum;

    // One per cent of a cohort is left after the residence time.
    const double loss = 1 - turnover_exp_(std::log(0.01) * dt / (_rt * phys::kSecondsPerYear));
    const double turnover = loss * _carbon;
    _litter += turnover;
    _carbon -= turnover;
}

void Stem::write_output(const ForcingRecord& record, SiteSums& leaving) {
    leaving.latent += sums.latent;
    leaving.resp += sums.respiration;
    leaving.resp += sums.decomposition;
    Sums& s = sums;
    output.write_means(record,
                       {&s.temperature, &s.carbon, &s.litter, &s.respiration, &s.decomposition,
                        &s.evaporation, &s.net_radiation, &s.sensible, &s.latent});
}

}  // namespace kelmora
