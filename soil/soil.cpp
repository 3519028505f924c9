#include "soil/soil.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "files/forcing_record.h"

namespace kelmora {

namespace {

// Thicknesses of the column when the file names none, m.
constexpr std::array<double, 8> kDefaultThickness{0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 6.4};

constexpr std::string_view kBadThickness = ": Bad _dz value.";

// Water potentials of wilting and of field capacity, J kg-1.
constexpr double kWilting = -1500;
constexpr double kFieldCapacity = -33;

}  // namespace

ParamFile Soil::parameters() {
    // Initial and permanent water fractions lie between 5 % of the porosity read
    // so far and the porosity itself.
    const Range water_range{0.05, 1, true, true, &_porosity};
    constexpr std::string_view tab = "\t    ";  // the first two keys are padded with a tab
    ParamFile file{.column = 12, .title = "Parameters:", .skip_first_line = true};
    file.keys = {
        {"_refl", &_refl, kOpenUnit, "surface reflectivity for PAR", {}, 0, tab},
        {"_rgh", &_rgh, kPositive, "surface roughness length (m)", {}, 0, tab},
        {"_fcv", &_fcv, kPositive, "structural factor for apparent heat capacity"},
        {"_fgh", &_fgh, kPositive, "structural factor for apparent thermal conductivity"},
        {"_b", &_b, kPositive, "exponent coeficient of water flow between layers"},
        {"_psie", &_psie, kNegative, "air entry water potential (J kg-1)"},
        {"_ks", &_ks, kPositive, "saturation hydraulic conductivity (kg s m-3)"},
        {"_porosity", &_porosity, kPositive, "volumetric porosity (m3 m-3)"},
        {"_zr", &_zr, kPositive, "depth of root distribution (m)"},
        {"_kw", &_kw, kNonNegative, "moisture coeffcient of decomposition"},
        {"_pw", &_pw, kNonNegative, "moisture power coeffcient of decomposition"},
        {"_W0", &_W0, water_range, "initial water fraction in the surface layer (m3 m-3)"},
        {"_Wd", &_Wd, water_range, "permanent water fraction in the deepest layer (m3 m-3)"},
        // Held in kelvin, written in degC; the stored value must lie above 0 K.
        {"_Td",
         &_Td,
         kPositive,
         "permanent temperature in the deepest layer (C)",
         {},
         phys::kZeroCelsius},
    };
    // The layer thicknesses: one "_dz" line per layer, top layer first, at most
    // 100 layers. A zero thickness would divide the water fractions by zero, so
    // it is refused.
    file.list = ListKey{.base = "_dz",
                        .list = &_dz,
                        .defaults = kDefaultThickness,
                        .range = kPositive,
                        .message = kBadThickness,
                        .gap = "        ",
                        .remark_head = "    ->thickness of layer ",
                        .remark_tail = " (m)\n",
                        .max_count = 100};
    return file;
}

Failure Soil::read_parameters(const std::string& path) {
    _dz.clear();
    if (Failure failure = read_parameter_file(path, parameters())) return failure;
    // The surface temperature and the initial profiles need two layers.
    if (_dz.size() == 1) return path + std::string(kBadThickness);
    build_layers();
    return {};
}

Failure Soil::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

void Soil::build_layers() {
    if (_dz.empty()) _dz.assign(kDefaultThickness.begin(), kDefaultThickness.end());
    const size_t n = _dz.size();
    for (std::vector<double>* v :
         {&temp, &cv, &flow, &heat, &water, &root_share, &temp_sum, &water_sum}) {
        v->resize(n);
    }
    // Roots thin out exponentially with depth: 99 % of an unbounded profile lies
    // above _zr.
    const double k = -std::log(0.01) / _zr;
    // The initial profiles run linearly over the layer index, from the air
    // temperature and _W0 at the top to _Td and _Wd in the deepest layer.
    const double steps = static_cast<double>(n) - 1;
    const double dt = (ts - _Td) / steps;
    const double dw = (phys::kWaterDensity * _W0 - phys::kWaterDensity * _Wd) / steps;
    double z = 0;
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
        const double di = static_cast<double>(i);
        root_share[i] = (std::exp(-k * z) - std::exp(-k * (z + _dz[i]))) / k;
        total += root_share[i];
        temp[i] = ts - di * dt;
        water[i] = (phys::kWaterDensity * _W0 - di * dw) * _dz[i];
        temp_sum[i] = 0;
        water_sum[i] = 0;
        z += _dz[i];
    }
    for (double& share : root_share) share /= total;
}

void Soil::set_up_aerodynamics(const ForcingRecord& record, double z_bottom, bool under_shrubs) {
    // The displacement height of the soil block; the profile's logarithms need a
    // reference height above it.
    const double zd = 0.77 * _rgh;
    const double zbot = z_bottom;
    aero.zrf = zbot;
    if (under_shrubs || zbot <= zd) aero.zrf = std::max({zbot, 0.1, 2 * _rgh});
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

Failure Soil::init(const ForcingRecord& record, const std::string& out_path, Restart* restart,
                   double z_bottom, bool under_shrubs, bool conserving_physics) {
    name = out_path + "soil";
    conserving = conserving_physics;
    ts = record.tk;
    fw = 1;
    flux_sum = 0;
    latent_sum = 0;
    if (Failure failure = read_parameters(name + ".par")) return failure;
    const size_t n = layers();
    if (restart) {
        // The layer count of the file must be the one of soil.par.
        const auto line = restart->last_line(name + ".csv", 2 * n + 4);
        if (!line) return "Soil: failed to restart.";
        for (size_t i = 0; i < n; ++i) {
            temp[i] = (*line)[4 + i] + phys::kZeroCelsius;
            water[i] = (*line)[4 + n + i] * phys::kWaterDensity * _dz[i];
        }
    }
    set_up_aerodynamics(record, z_bottom, under_shrubs);
    gb.by_volume_of_air = conserving;
    // The retention curve psi = _psie (theta / _porosity) ^ -_b read at the
    // customary potentials of wilting (-1500 J kg-1) and of field capacity
    // (-33 J kg-1), above which water does not limit transpiration.
    theta_wilting_ = _porosity * std::pow(kWilting / _psie, -1 / _b);
    theta_free_ = std::min(_porosity, _porosity * std::pow(kFieldCapacity / _psie, -1 / _b));
    evaporation = 0;
    drained = 0;
    lambda_top_ = 0;
    g_evaporation = 0.01;
    available = 1;
    if (conserving) update_available();
    if (Failure failure = fine.init(out_path, restart)) return failure;
    if (Failure failure = coarse.init(out_path, restart)) return failure;
    ts = 0.5 * (temp[0] + temp[1]);
    surface_t = conserving ? temp[0] : ts;
    return {};
}

Failure Soil::open_output() {
    const std::string path = name + ".csv";
    const std::string count = std::to_string(layers());
    Failure failure = output.create(
        path,
        "# Day of year\n# Hour\n# Minute\n# Net surface energy flux (W m-2)\n# " + count +
            " columns of temperature (C)\n# " + count + " columns of water content (m3 m-3)\n",
        "Failed to open " + path);
    if (!failure) failure = fine.open_output();
    if (!failure) failure = coarse.open_output();
    return failure;
}

void Soil::write_output(const ForcingRecord& record, SiteSums& leaving) {
    const double ns = record.substeps;
    const size_t n = layers();
    output.begin_line(record);
    output.mean(flux_sum, ns);
    leaving.latent += latent_sum;  // nothing but with the energy-conserving physics
    latent_sum = 0;
    for (size_t i = 0; i < n; ++i) output.mean(temp_sum[i], ns);
    // Water as volumetric fraction.
    for (size_t i = 0; i < n; ++i) {
        output.value(water_sum[i] / (ns * _dz[i]) / phys::kWaterDensity);
        water_sum[i] = 0;
    }
    output.end_line();
    fine.write_output(record, leaving);
    coarse.write_output(record, leaving);
}

}  // namespace kelmora
