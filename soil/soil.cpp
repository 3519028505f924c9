#include "soil/soil.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "run/numbers.h"
#include "run/param_file.h"
#include "run/site.h"

namespace kelmora {

namespace {

// Thicknesses of the column when the file names none, m.
constexpr std::array<double, 8> kDefaultThickness{0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 6.4};

constexpr std::string_view kBadThickness = ": Bad _dz value.";

std::array<ParamKey, 14> soil_keys(Soil& s) {
    // Initial and permanent water fractions lie between 5 % of the porosity read
    // so far and the porosity itself.
    const Range water{0.05, 1, true, true, &s._porosity};
    return {{
        {"_refl\t    ", nullptr, &s._refl, kOpenUnit, ": Bad _refl value.",
         "    ->surface reflectivity for PAR\n"},
        {"_rgh\t    ", nullptr, &s._rgh, kPositive, ": Bad _rgh value.",
         "    ->surface roughness length (m)\n"},
        {"_fcv        ", nullptr, &s._fcv, kPositive, ": Bad _fcv value.",
         "    ->structural factor for apparent heat capacity\n"},
        {"_fgh        ", nullptr, &s._fgh, kPositive, ": Bad _fgh value.",
         "    ->structural factor for apparent thermal conductivity\n"},
        {"_b          ", nullptr, &s._b, kPositive, ": Bad _b value.",
         "    ->exponent coeficient of water flow between layers\n"},
        {"_psie       ", nullptr, &s._psie, kNegative, ": Bad _psie value.",
         "    ->air entry water potential (J kg-1)\n"},
        {"_ks         ", nullptr, &s._ks, kPositive, ": Bad _ks value.",
         "    ->saturation hydraulic conductivity (kg s m-3)\n"},
        {"_porosity   ", nullptr, &s._porosity, kPositive, ": Bad _porosity value.",
         "    ->volumetric porosity (m3 m-3)\n"},
        {"_zr         ", nullptr, &s._zr, kPositive, ": Bad _zr value.",
         "    ->depth of root distribution (m)\n"},
        {"_kw         ", nullptr, &s._kw, kNonNegative, ": Bad _kw value.",
         "    ->moisture coeffcient of decomposition\n"},
        {"_pw         ", nullptr, &s._pw, kNonNegative, ": Bad _pw value.",
         "    ->moisture power coeffcient of decomposition\n"},
        {"_W0         ", nullptr, &s._W0, water, ": Bad _W0 value.",
         "    ->initial water fraction in the surface layer (m3 m-3)\n"},
        {"_Wd         ", nullptr, &s._Wd, water, ": Bad _Wd value.",
         "    ->permanent water fraction in the deepest layer (m3 m-3)\n"},
        // Held in kelvin, written in degC; the stored value must lie above 0 K.
        {"_Td         ", nullptr, &s._Td, kPositive, ": Bad _Td value.",
         "    ->permanent temperature in the deepest layer (C)\n", phys::kZeroCelsius},
    }};
}

// The layer thicknesses: one "_dz" line per layer, top layer first. A zero
// thickness would divide the water fractions by zero, so it is refused.
ListKey thickness_key(Soil& s) {
    return ListKey{.base = "_dz",
                   .list = &s._dz,
                   .defaults = kDefaultThickness,
                   .range = kPositive,
                   .message = kBadThickness,
                   .gap = "        ",
                   .remark_head = "    ->thickness of layer ",
                   .remark_tail = " (m)\n"};
}

}  // namespace

bool Soil::read_parameters(Site& site, const std::string& path) {
    const auto keys = soil_keys(*this);
    const ListKey list = thickness_key(*this);
    _dz.clear();
    const ParamFile file{
        .keys = keys, .list = &list, .title = "Parameters:", .skip_first_line = true};
    if (!read_parameter_file(site, path, file)) return false;
    // The surface temperature and the initial profiles need two layers.
    if (_dz.size() == 1) {
        site.error_text = path;
        site.error_text += kBadThickness;
        return false;
    }
    build_layers();
    return true;
}

bool Soil::write_parameters(Site& site, const std::string& path) {
    const auto keys = soil_keys(*this);
    const ListKey list = thickness_key(*this);
    const ParamFile file{.keys = keys, .list = &list, .title = "Parameters:"};
    return write_parameter_file(site, path, file);
}

void Soil::build_layers() {
    if (_dz.empty()) _dz.assign(kDefaultThickness.begin(), kDefaultThickness.end());
    const size_t n = _dz.size();
    for (std::vector<double>* v :
         {&_temp, &_cv, &_flow, &_heat, &_water, &_froot, &_temp_sum, &_water_sum}) {
        v->resize(n, 0.0);
    }
    // Roots thin out exponentially with depth: 99 % of an unbounded profile lies
    // above _zr.
    const double k = -std::log(0.01) / _zr;
    // The initial profiles run linearly over the layer index, from the air
    // temperature and _W0 at the top to _Td and _Wd in the deepest layer.
    const double steps = static_cast<double>(n) - 1;
    const double dt = (_Ts - _Td) / steps;
    const double dw = (1000 * _W0 - 1000 * _Wd) / steps;
    double z = 0;
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
        const double di = static_cast<double>(i);
        _froot[i] = (std::exp(-k * z) - std::exp(-k * (z + _dz[i]))) / k;
        total += _froot[i];
        _temp[i] = _Ts - di * dt;
        _water[i] = (1000 * _W0 - di * dw) * _dz[i];
        _temp_sum[i] = 0;
        _water_sum[i] = 0;
        z += _dz[i];
    }
    for (double& share : _froot) share /= total;
}

void Soil::set_up_aerodynamics(const ForcingRecord& record, const Site& site) {
    // The displacement height of the soil block; the profile's logarithms need a
    // reference height above it.
    const double zd = 0.77 * _rgh;
    const double zbot = site.lowest_plant()._zbot;
    aero.zrf = zbot;
    if (site.has_shrub() || zbot <= zd) aero.zrf = std::max({zbot, 0.1, 2 * _rgh});
    aero.zt = _rgh;
    aero.zd = zd;
    aero.zm = 0.13 * _rgh;
    aero.z12 = aero.zd + aero.zm;
    aero.zh = 0.2 * aero.zm;
    aero.zb = 0;
    aero.ga = 0.1;
    aero.gav = 0.0622;
    aero.u12 = 1.0;
    aero.ustar = 0.1;
    aero.rho = record.rho_air;
}

bool Soil::init(const ForcingRecord& record, Site& site) {
    name = site.out_path + "soil";
    _Ts = record.tk;
    _fw = 1;
    _flux_sum = 0;
    _dz.clear();
    if (!read_parameters(site, name + ".par")) return false;
    if (!open_output(site, name + ".csv")) return false;
    set_up_aerodynamics(record, site);
    if (!fine.init(site) || !coarse.init(site)) return false;
    _Ts = 0.5 * (_temp[0] + _temp[1]);
    return true;
}

bool Soil::open_output(Site& site, const std::string& path) {
    const size_t n = layers();
    if (site._restart != 0) {
        const std::vector<std::string> words = read_last_line(path);
        if (words.size() < 2 * n + 4) {
            site.error_text = "Soil: failed to restart.";
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            _temp[i] = word_value(words, 4 + i) + phys::kZeroCelsius;
            _water[i] = word_value(words, 4 + n + i) * 1000 * _dz[i];
        }
    }
    const std::string count = std::to_string(n);
    return output.create(path,
                         "# Day of year\n# Hour\n# Minute\n# Net surface energy flux (W m-2)\n# " +
                             count + " columns of temperature (C)\n# " + count +
                             " columns of water content (m3 m-3)\n",
                         "Failed to open " + path, site.error_text);
}

bool Soil::write_output(const ForcingRecord& record, Site& site) {
    const double ns = record.substeps;
    const size_t n = layers();
    output.begin_line(record);
    output.mean(_flux_sum, ns);
    for (size_t i = 0; i < n; ++i) output.mean(_temp_sum[i], ns);
    // Water as volumetric fraction.
    for (size_t i = 0; i < n; ++i) {
        output.value(_water_sum[i] / (ns * _dz[i]) / 1000);
        _water_sum[i] = 0;
    }
    if (!output.end_line(site.error_text)) return false;
    return fine.write_output(record, site) && coarse.write_output(record, site);
}

}  // namespace kelmora
