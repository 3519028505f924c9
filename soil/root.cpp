#include "soil/root.h"

#include <array>
#include <cmath>

#include "run/param_file.h"
#include "run/site.h"

namespace kelmora {

Root::Root(bool coarse) : _coarse(coarse) {
    if (coarse) {
        _life = 1;
        _dead = 0.5;
        _rt = 25;
    }
}

namespace {

// The keys of a root pool's file. `dead` receives the "_dead" line: the pool's
// own dead carbon for the coarse roots; for the fine roots a scratch value, so
// that the line is written but its value is never taken or checked.
std::array<ParamKey, 9> root_keys(Root& r, double* dead, bool check_dead) {
    return {{
        {"_dynamic  ", &r._dynamic, nullptr, kAny, "",
         "    ->carbon storage mode (0: static; 1: dynamic)\n"},
        {"_life     ", nullptr, &r._life, kPositive, ": Bad _life value.",
         "    ->life root carbon storage (kgC m-2)\n"},
        {"_dead     ", nullptr, dead, kPositive, check_dead ? ": Bad _dead value." : "",
         "    ->dead root carbon storage (kgC m-2)\n"},
        {"_re25     ", nullptr, &r._re25, kNonNegative, ": Bad _re25 value.",
         "    ->respiration rate of life root at T=0C (kgC kgC-1 yr-1)\n"},
        {"_ere      ", nullptr, &r._ere, kPositive, ": Bad _ere value.",
         "    ->activation energy of _re25 (KJ mol-1)\n"},
        {"_rd25     ", nullptr, &r._rd25, kNonNegative, ": Bad _rd25 value.",
         "    ->decomposiion rate of dead root at T=0C (kgC kgC-1 yr-1)\n"},
        {"_erd      ", nullptr, &r._erd, kPositive, ": Bad _erd value.",
         "    ->activation energy of _rd25 (KJ mol-1)\n"},
        {"_dmc      ", nullptr, &r._dmc, kPositive, ": Bad _dmc value.",
         "    ->dry matter content (kgDry kgWet-1)\n"},
        {"_rt       ", nullptr, &r._rt, kPositive, ": Bad _rt value.",
         "    ->residence time/life expectance (year)\n"},
    }};
}

}  // namespace

bool Root::read_parameters(Site& site, const std::string& path) {
    double scratch = _dead;
    const auto keys = root_keys(*this, _coarse ? &_dead : &scratch, _coarse);
    return read_parameter_file(site, path, ParamFile{.keys = keys});
}

bool Root::write_parameters(Site& site, const std::string& path) {
    const auto keys = root_keys(*this, &_dead, _coarse);
    return write_parameter_file(site, path, ParamFile{.keys = keys});
}

bool Root::init(Site& site) {
    name = site.out_path + (_coarse ? "root.coarse" : "root.fine");
    if (!read_parameters(site, name + ".par")) return false;
    if (!open_output(site, name + ".csv")) return false;
    _turnover = 0;
    _resp = 0;
    _decomp = 0;
    sums.fill(0);
    return true;
}

bool Root::open_output(Site& site, const std::string& path) {
    if (site._restart != 0) {
        const std::vector<std::string> words = read_last_line(path);
        if (words.size() < 5) {
            site.error_text = "Root: failed to restart.";
            return false;
        }
        _life = word_value(words, 3);
        _dead = word_value(words, 4);
    }
    return output.create(path,
                         "# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n"
                         "# Dead root carbon (kgC m-2)\n# Respiration (umol m-2 s-2)\n"
                         "# Decomposition (umol m-2 s-2)\n",
                         "Failed to open " + path, site.error_text);
}

void Root::compute_rates(const Site& site) {
    const Soil& soil = site.soil;
    // Left alone, live carbon falls to 1 % in _rt years of 365 days.
    _turnover = 0;
    if (_dynamic != 0) {
        _turnover =
            (1 - std::exp(std::log(0.01) * site._dt / (_rt * phys::kSecondsPerYear))) * _life;
    }
    _resp = arrhenius(_ere, soil._Ts) * _re25 * _life;
    _decomp = arrhenius(_erd, soil._Ts) * _rd25 * _dead * soil._fw;
}

namespace {

// Carbon (umol m-2 s-1) a plant layer allocates to fine (3) or coarse (4) roots:
// its leaf's net assimilation times the layer's share.
double allocation(const Plant& plant, bool coarse) {
    const Leaf& leaf = plant.foliage.leaf;
    const double share = (coarse ? plant._alloc4 : plant._alloc3) / plant.alloc_sum();
    return (leaf.gross_production - leaf.dark_respiration) * share;
}

}  // namespace

bool Root::update_carbon(Site& site) {
    if (_dynamic != 0) {
        const double dt = site._dt;
        _life -= dt * _resp * phys::kCarbonPerUmol;
        _dead -= dt * _decomp * phys::kCarbonPerUmol;
        // Fine roots turn over into the coarse roots' live carbon, coarse roots
        // into their own dead carbon.
        if (_coarse) {
            _dead += _turnover;
        } else {
            site.soil.coarse._life += _turnover;
        }
        _life -= _turnover;
        _life += allocation(site.tree, _coarse) * dt * phys::kCarbonPerUmol;
        if (site.has_shrub()) _life += allocation(site.shrub, _coarse) * dt * phys::kCarbonPerUmol;
    }
    sums[0] += _life;
    sums[1] += _dead;
    sums[2] += _resp;
    sums[3] += _decomp;
    return true;
}

bool Root::write_output(const ForcingRecord& record, Site& site) {
    site.resp_sum += sums[2];
    site.resp_sum += sums[3];
    return output.write_means(record, sums, site.error_text);
}

}  // namespace kelmora
