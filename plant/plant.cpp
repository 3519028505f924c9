#include "plant/plant.h"

#include <algorithm>
#include <cmath>

#include "run/param_file.h"
#include "run/site.h"

namespace kelmora {

namespace {

constexpr Range kAtLeastOne{1.0};
constexpr Range kUpToOne{0, 1, false, true};  // 0 < v <= 1

std::array<ParamKey, 9> plant_keys(Plant& p) {
    return {{
        {"_ztop   ", nullptr, &p._ztop, kAtLeastOne, ": Bad _ztop value.",
         "    ->height of foliage top (m)\n"},
        {"_zbot   ", nullptr, &p._zbot, kNonNegative, ": Bad _zbot value.",
         "    ->height of foliage bottom (m)\n"},
        {"_pai    ", nullptr, &p._pai, kUpToOne, ": Bad _pai value.",
         "    ->plant area index (patchness) in low growth season\n"},
        {"_fpr    ", nullptr, &p._fpr, kPositive, ": Bad _fpr value.",
         "    ->structural factor for rain interception\n"},
        {"_fem    ", nullptr, &p._fem, kPositive, ": Bad _fem value.",
         "    ->structural factor for emissivity\n"},
        {"_alloc1  ", nullptr, &p._alloc1, kNonNegative, ": Bad _alloc1 value.",
         "    ->carbon allocation to folliage (fraction)\n"},
        {"_alloc2  ", nullptr, &p._alloc2, kNonNegative, ": Bad _alloc2 value.",
         "    ->carbon allocation to stem (fraction)\n"},
        {"_alloc3  ", nullptr, &p._alloc3, kNonNegative, ": Bad _alloc3 value.",
         "    ->carbon allocation to fine root (fraction)\n"},
        {"_alloc4  ", nullptr, &p._alloc4, kNonNegative, ": Bad _alloc4 value.",
         "    ->carbon allocation to coarse root (fraction)\n"},
    }};
}

// The plant's file splits at white space only and names the path with a full stop
// when it cannot be created.
ParamFile plant_file(std::span<const ParamKey> keys) {
    return ParamFile{.keys = keys, .commas_as_blanks = false, .full_stop_on_failure = true};
}

}  // namespace

bool layer_restarts(const Site& site, int32_t is_shrub) {
    return site._restart != 0 && !(is_shrub != 0 && site._type == 0);
}

double Plant::cover_fraction() const {
    const double density = lad();
    if (_pai > density) return _pai;
    return std::min(1.0, 0.8 * _pai + 0.2 * density);
}

bool Plant::read_parameters(Site& site, const std::string& path) {
    const auto keys = plant_keys(*this);
    if (!read_parameter_file(site, path, plant_file(keys))) return false;
    if (_zbot >= _ztop) {
        site.error_text = "Bad plant height data (_zbot>=_ztop).";
        return false;
    }
    const double total = alloc_sum();
    if (total <= 0) {
        site.error_text = "Bad allocation values.";
        return false;
    }
    _alloc1 /= total;
    _alloc2 /= total;
    _alloc3 /= total;
    _alloc4 /= total;
    return true;
}

bool Plant::write_parameters(Site& site, const std::string& path) {
    const auto keys = plant_keys(*this);
    return write_parameter_file(site, path, plant_file(keys));
}

namespace {

// The profile heights of the layer from its top, driven from the reference height
// (tree) or from the tree's foliage bottom (shrub), with neutral starting values.
void set_up_aerodynamics(Plant& p, const ForcingRecord& record, const Site& site) {
    Aerodynamics& aero = p.aero;
    const double top = p._ztop;
    aero.zt = top;
    aero.zb = p._zbot;
    aero.zm = 0.13 * top;
    aero.zd = 0.77 * top;
    aero.zh = 0.2 * aero.zm;
    aero.z12 = aero.zd + aero.zm;
    aero.zrf = p.is_shrub ? site.tree._zbot : site._zref;
    aero.ga = 0.1;
    aero.gav = 0.0622;
    aero.u12 = 1.0;
    aero.ustar = 0.1;
    aero.rho = record.rho_air;
}

// Infrared leaving the layer before its first sub-step, from the air temperature
// and the areas the foliage and stems start with.
void set_initial_ir(Plant& p, const ForcingRecord& record) {
    const double black = black_body(record.tk);
    const double fc = p.cover_fraction();
    p.radiation.ir_out_up = black * (1 - std::exp(-0.5 * fc * p.lai()));
    p.radiation.ir_out_down = black * (1 - std::exp(-0.5 * fc * p.sai()));
}

}  // namespace

bool Plant::init(const ForcingRecord& record, Site& site) {
    name = site.out_path + (is_shrub ? "shrub" : "tree");
    if (!read_parameters(site, name + ".par")) return false;
    if (!is_shrub && _ztop > site._zref) {
        site.error_text = "Tree top above site reference height.";
        return false;
    }
    if (is_shrub && _ztop > site.tree._zbot) {
        site.error_text = "Shrub top above tree foliage bottem.";
        return false;
    }
    set_up_aerodynamics(*this, record, site);
    t12 = record.tk;
    q12 = record.qa;
    sums.fill(0);
    if (!open_output(site, name + ".csv")) return false;
    if (!foliage.init(record, site, *this)) return false;
    if (!stem.init(record, site, *this)) return false;
    // After the foliage and the stems hold their starting carbon, so that the
    // first sub-step of the neighbouring layers sees the real areas.
    set_initial_ir(*this, record);
    return true;
}

bool Plant::open_output(Site& site, const std::string& path) {
    if (layer_restarts(site, is_shrub)) {
        const std::vector<std::string> words = read_last_line(path);
        if (words.size() < 5) {
            site.error_text = "Plant: failed to restart.";
            return false;
        }
        t12 = word_value(words, 3) + phys::kZeroCelsius;
        q12 = word_value(words, 4);
    }
    return output.create(path,
                         "# Day of year\n# Hour\n# Minute\n# Air temperature at z12 (K)\n"
                         "# Specific humidity at z12 (kg kg-1)\n"
                         "# Sensible heat flux between z12 and reference height (W m-2)\n"
                         "# Transmitted down VIS (W m-2)\n# Transmitted up VIS (W m-2)\n"
                         "# Transmitted down IR (W m-2)\n# Transmitted up IR (W m-2)\n",
                         "Failed to open " + path + ".", site.error_text);
}

bool Plant::write_output(const ForcingRecord& record, Site& site) {
    // Only the top layer's sensible heat leaves the site.
    if (!is_shrub) site.h_sum += sums[2];
    return output.write_means(record, sums, site.error_text) &&
           foliage.write_output(record, site) && foliage.leaf.write_output(record, site) &&
           stem.write_output(record, site);
}

}  // namespace kelmora
