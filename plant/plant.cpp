#include "plant/plant.h"

#include <algorithm>
#include <cmath>

#include "files/forcing_record.h"

namespace kelmora {

namespace {

constexpr Range kAtLeastOne{1.0};
constexpr Range kUpToOne{0, 1, false, true};  // 0 < v <= 1

}  // namespace

double Plant::cover_fraction() const {
    const double density = lad();
    if (_pai > density) return _pai;
    return std::min(1.0, 0.8 * _pai + 0.2 * density);
}

// The plant's file splits at white space only and names the path with a full stop
// when it cannot be created.
ParamFile Plant::parameters() {
    constexpr std::string_view two = "  ";  // the allocations stand one column further right
    ParamFile file{.column = 8, .commas_as_blanks = false, .full_stop_on_failure = true};
    file.keys = {
        {"_ztop", &_ztop, kAtLeastOne, "height of foliage top (m)"},
        {"_zbot", &_zbot, kNonNegative, "height of foliage bottom (m)"},
        {"_pai", &_pai, kUpToOne, "plant area index (patchness) in low growth season"},
        {"_fpr", &_fpr, kPositive, "structural factor for rain interception"},
        {"_fem", &_fem, kPositive, "structural factor for emissivity"},
        {"_alloc1", &_alloc1, kNonNegative, "carbon allocation to folliage (fraction)", {}, 0, two},
        {"_alloc2", &_alloc2, kNonNegative, "carbon allocation to stem (fraction)", {}, 0, two},
        {"_alloc3",
         &_alloc3,
         kNonNegative,
         "carbon allocation to fine root (fraction)",
         {},
         0,
         two},
        {"_alloc4",
         &_alloc4,
         kNonNegative,
         "carbon allocation to coarse root (fraction)",
         {},
         0,
         two},
    };
    return file;
}

Failure Plant::read_parameters(const std::string& path) {
    if (Failure failure = read_parameter_file(path, parameters())) return failure;
    if (_zbot >= _ztop) return "Bad plant height data (_zbot>=_ztop).";
    const double total = alloc_sum();
    if (total <= 0) return "Bad allocation values.";
    _alloc1 /= total;
    _alloc2 /= total;
    _alloc3 /= total;
    _alloc4 /= total;
    return {};
}

Failure Plant::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

namespace {

// The profile heights of the layer from its top, driven from the height `z_ref`,
// with neutral starting values.
void set_up_aerodynamics(Plant& p, const ForcingRecord& record, double z_ref) {
    Aerodynamics& aero = p.aero;
    const double top = p._ztop;
    aero.zt = top;
    aero.zb = p._zbot;
    aero.zm = 0.13 * top;
    aero.zd = 0.77 * top;
    aero.zh = 0.2 * aero.zm;
    aero.z12 = aero.zd + aero.zm;
    aero.zrf = z_ref;
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

Failure Plant::init(const ForcingRecord& record, const LayerSetup& setup) {
    name = setup.out_path + (is_shrub ? "shrub" : "tree");
    conserving = setup.conserving;
    gb_leaves.by_volume_of_air = conserving;
    gb_stems.by_volume_of_air = conserving;
    if (Failure failure = read_parameters(name + ".par")) return failure;
    if (_ztop > setup.z_ref) {
        return is_shrub ? "Shrub top above tree foliage bottem."
                        : "Tree top above site reference height.";
    }
    set_up_aerodynamics(*this, record, setup.z_ref);
    t12 = record.tk;
    q12 = record.qa;
    sums = {};
    if (setup.restart) {
        if (Failure failure = restore(*setup.restart)) return failure;
    }
    Failure failure =
        foliage.init(record, setup.out_path, is_shrub, setup.restart, setup.conserving);
    if (!failure) failure = stem.init(record, setup.out_path, is_shrub, setup.restart);
    if (failure) return failure;
    // After the foliage and the stems hold their starting carbon, so that the
    // first sub-step of the neighbouring layers sees the real areas.
    set_initial_ir(*this, record);
    return {};
}

Failure Plant::restore(Restart& restart) {
    const auto line = restart.last_line(name + ".csv", 10);
    if (!line) return "Plant: failed to restart.";
    t12 = (*line)[3] + phys::kZeroCelsius;
    q12 = (*line)[4];
    return {};
}

Failure Plant::open_output() {
    const std::string path = name + ".csv";
    Failure failure =
        output.create(path,
                      "# Day of year\n# Hour\n# Minute\n# Air temperature at z12 (K)\n"
                      "# Specific humidity at z12 (kg kg-1)\n"
                      "# Sensible heat flux between z12 and reference height (W m-2)\n"
                      "# Transmitted down VIS (W m-2)\n# Transmitted up VIS (W m-2)\n"
                      "# Transmitted down IR (W m-2)\n# Transmitted up IR (W m-2)\n",
                      "Failed to open " + path + ".");
    if (!failure) failure = foliage.open_output();
    if (!failure) failure = stem.open_output();
    return failure;
}

void Plant::write_output(const ForcingRecord& record, SiteSums& leaving) {
    if (!is_shrub) leaving.sensible += sums.sensible;
    Sums& s = sums;
    output.write_means(record, {&s.t12, &s.q12, &s.sensible, &s.vis_out_down, &s.vis_out_up,
                                &s.ir_out_down, &s.ir_out_up});
    foliage.write_output(record, leaving);
    foliage.leaf.write_output(record, leaving);
    stem.write_output(record, leaving);
}

}  // namespace kelmora
