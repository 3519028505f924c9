#include "soil/root.h"

#include <cmath>

#include "physics/physics.h"

namespace kelmora {

Root::Root(bool coarse) : is_coarse(coarse) {
    if (coarse) {
        _life = 1;
        _dead = 0.5;
        _rt = 25;
    }
}

// A fine root's "_dead" line is written but never taken nor checked.
ParamFile Root::parameters(double& dead) {
    ParamFile file{.column = 10};
    file.keys = {
        {"_dynamic", &_dynamic, kUnchecked, "carbon storage mode (0: static; 1: dynamic)"},
        {"_life", &_life, kPositive, "life root carbon storage (kgC m-2)"},
        {"_dead", &dead, is_coarse ? kPositive : kUnchecked, "dead root carbon storage (kgC m-2)"},
        {"_re25", &_re25, kNonNegative, "respiration rate of life root at T=0C (kgC kgC-1 yr-1)"},
        {"_ere", &_ere, kPositive, "activation energy of _re25 (KJ mol-1)"},
        {"_rd25", &_rd25, kNonNegative, "decomposiion rate of dead root at T=0C (kgC kgC-1 yr-1)"},
        {"_erd", &_erd, kPositive, "activation energy of _rd25 (KJ mol-1)"},
        {"_dmc", &_dmc, kPositive, "dry matter content (kgDry kgWet-1)"},
        {"_rt", &_rt, kPositive, "residence time/life expectance (year)"},
    };
    return file;
}

Failure Root::read_parameters(const std::string& path) {
    double scratch = _dead;
    return read_parameter_file(path, parameters(is_coarse ? _dead : scratch));
}

Failure Root::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters(_dead));
}

Failure Root::init(const std::string& out_path, Restart* restart) {
    name = out_path + (is_coarse ? "root.coarse" : "root.fine");
    if (Failure failure = read_parameters(name + ".par")) return failure;
    if (restart) {
        const auto line = restart->last_line(name + ".csv", 7);
        if (!line) return "Root: failed to restart.";
        _life = (*line)[3];
        _dead = (*line)[4];
    }
    turnover = 0;
    respiration = 0;
    decomposition = 0;
    sums = {};
    return {};
}

Failure Root::open_output() {
    const std::string path = name + ".csv";
    return output.create(path,
                         "# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n"
                         "# Dead root carbon (kgC m-2)\n# Respiration (umol m-2 s-2)\n"
                         "# Decomposition (umol m-2 s-2)\n",
                         "Failed to open " + path);
}

void Root::compute_rates(double dt, double soil_t, double soil_fw) {
    // Left alone, live carbon falls to 1 % in _rt years of 365 days.
    turnover = 0;
    if (_dynamic != 0) {
        turnover = (1 - std::exp(std::log(0.01) * dt / (_rt * phys::kSecondsPerYear))) * _life;
    }
    respiration = arrhenius_(_ere, soil_t) * _re25 * _life;
    decomposition = arrhenius_(_erd, soil_t) * _rd25 * _dead * soil_fw;
}

double Root::update_carbon(double dt, std::span<const PlantUptake> layers) {
    double handed_on = 0;
    if (_dynamic != 0) {
        _life -= dt * respiration * phys::kCarbonPerUmol;
        _dead -= dt * decomposition * phys::kCarbonPerUmol;
        // Fine roots turn over into the coarse roots' live carbon, coarse roots
        // into their own dead carbon.
        if (is_coarse) {
            _dead += turnover;
        } else {
            handed_on = turnover;
        }
        _life -= turnover;
        for (const PlantUptake& layer : layers) {
            _life +=
                (is_coarse ? layer.coarse_roots : layer.fine_roots) * dt * phys::kCarbonPerUmol;
        }
    }
    sums.life += _life;
    sums.dead += _dead;
    sums.respiration += respiration;
    sums.decomposition += decomposition;
    return handed_on;
}

void Root::write_output(const ForcingRecord& record, SiteSums& leaving) {
    leaving.resp += sums.respiration;
    leaving.resp += sums.decomposition;
    Sums& s = sums;
    output.write_means(record, {&s.life, &s.dead, &s.respiration, &s.decomposition});
}

}  // namespace kelmora
