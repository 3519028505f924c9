#include "leaf/leaf.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "files/forcing_record.h"
#include "leaf/newton.h"
#include "physics/physics.h"

namespace kelmora {

namespace {

constexpr double kPhotonsPerWatt = 4.6;    // umol photons per J of visible radiation
constexpr double kDaylight = 1.0;          // W m-2 of global radiation that makes a day
constexpr double kOxygen = 210;            // mmol mol-1
constexpr double kMinBoundaryLayer = 0.5;  // mol m-2 s-1
constexpr double kConvergence = 0.1;       // umol mol-1
constexpr int kMaxIterations = 100;

// Energy-conserving physics: a conductance in mol m-2 s-1 as a velocity (m s-1),
// through the molar volume of air, by day and by night alike.
double per_volume_of_air(double g, double rho_air) {
    return g * phys::kMolarAir / rho_air;
}

// A Newton solve from Ci = 0.7 Ca until two Ci differ by at most the convergence
// limit, or the limit of steps.
struct Solve {
    Exchange e;
    double ci;
    Assimilation s;
    bool converged = false;
    int steps = 0;

    explicit Solve(const Exchange& exchange) : e(exchange), ci(0.7 * exchange.ca) {}
    bool done() const { return converged || steps >= kMaxIterations; }
    void step() {
        s = newton_step(e, ci);
        converged = std::fabs(ci - s.ci) <= kConvergence;
        ci = s.ci;
        ++steps;
    }
};

// What a solve depends on, compared value by value.
std::array<double, 8> key_of(const Exchange& e) {
    return {e.vm, e.j, e.gamma, e.cv, e.ca, e.gb, e.g0, e.g1f};
}

}  // namespace

Failure Leaf::init(const std::string& out_path, bool is_shrub, bool conserving, double rho_air) {
    name = out_path + (is_shrub ? "shrub" : "tree") + ".leaf";
    this->conserving = conserving;
    gb_.by_volume_of_air = conserving;
    if (Failure failure = read_parameters(name + ".par")) return failure;
    gross_production = 0;
    dark_respiration = 0;
    vapour_conductance =
        conserving ? per_volume_of_air(_g0, rho_air) : _g0 * phys::kMolarWater / 1000;
    water_stress = 1;
    sums = {};
    terms_ = TemperatureTerms{};  // the parameters just read change the factors
    downward_ = {};
    return {};
}

// The leaf's file splits at white space only and names the path with a full stop
// when it cannot be created.
ParamFile Leaf::parameters() {
    constexpr std::string_view tab = "\t";
    ParamFile file{.column = 9, .commas_as_blanks = false, .full_stop_on_failure = true};
    file.keys = {
        {"_vmax",
         &_vmax,
         kNonNegative,
         "carboxylation rate at optimal temperature (umol m-2 s-1)",
         ": Bad leaf _vmax value.",
         0,
         {},
         tab},
        {"_jmax",
         &_jmax,
         kPositive,
         "electron transport rate at optimal temperature (umol m-2 s-1)",
         ": Bad leaf _jmax value.",
         0,
         {},
         tab},
        {"_topt", &_topt, kPositive, "optimal temperature (C)", {}, 0, {}, tab},
        {"_ep", &_ep, kPositive, "enthalpy term of the Boltzmann function (J mol-1)",
         ": Bad leaf _ep value."},
        {"_ea", &_ea, kPositive, "activation energy of the Boltzmann function (J mol-1)",
         ": Bad leaf _ea value."},
        {"_qn", &_qn, kPositive, "quantum yield coefficient", ": Bad leaf _qn value."},
        {"_rd25", &_rd25, kNonNegative, "dark respiration rate at T=25C (umol m-2 s-1)"},
        {"_erd", &_erd, kPositive, "activation energy of dark respiration (KJ mol-1)"},
        {"_g0", &_g0, kPositive, "minimum stomatal conductance of water vapor (mol m-2 s-1)",
         ": Bad leaf _g0 value."},
        {"_g1", &_g1, kPositive, "sensitivity coefficient", ": Bad leaf _g1 value."},
        {"_gd", &_gd, kPositive, "VPD coefficient ", ": Bad leaf _gd value."},
        {"_vpd", &_vpd, kUnchecked,
         "use VPD (_vpd=1) or RH (_vpd=0) in surface conductivity calculation"},
        {"_stress", &_stress, kPositive, "coefficient of soil moisture stress",
         ": Bad leaf _stress value."},
    };
    return file;
}

Failure Leaf::read_parameters(const std::string& path) {
    return read_parameter_file(path, parameters());
}

Failure Leaf::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

Failure Leaf::open_output() {
    const std::string path = name + ".csv";
    return output.create(path,
                         "# Day of year\n# Hour\n# Minute\n"
                         "# Gross production (umol m-2 s-1)\n"
                         "# Dark respiration (umol m-2 -s)\n"
                         "# Carboxylation rate of sunlit leaf Vm (umol m-2 s-1)\n"
                         "# Electron transport rate of sunlit leaf Jm (umol m-2 s-1)\n"
                         "# Cv of Av=Vm*(Ci-Gamma)/(Ci+Cv) (umol mol-1)\n"
                         "# Cs of sunlit leaf (umol mol-1)\n"
                         "# Ci of sunlit leaf (umol mol-1)\n"
                         "# Gamma of sunlit lesf (umol mol-1)\n"
                         "# Stomato conductance (mol m-2 s-1)\n"
                         "# Leaf surface conductance (mol m-2 s-1)\n"
                         "# Ratio of absorbed VIS to GSR\n",
                         "Failed to open " + path);
}

double Leaf::capacity_factor(double t) const {
    const double to = _topt + phys::kZeroCelsiusWhole;
    const double x = (t - to) / (phys::kGasConstantRounded * t * to);
    return _ep * std::exp(_ea * x) / (_ep - _ea * (1 - std::exp(_ep * x)));
}

double Leaf::stress_factor(double w) const {
    // Concave in the available water: the stomata feel the drying only once most
    // of the available water is gone, the sooner the smaller _stress.
    const double x = std::clamp(w, 0.0, 1.0);
    return (1 - std::exp(-_stress * x)) / (1 - std::exp(-_stress));
}

const Leaf::TemperatureTerms& Leaf::temperature_terms(double t, bool dark_only) {
    if (!(terms_.t == t)) {
        terms_.t = t;
        terms_.rd = arrhenius(_erd, t);
        terms_.photosynthesis = false;
    }
    if (dark_only || terms_.photosynthesis) return terms_;
    terms_.photosynthesis = true;
    terms_.kc = 274.6 * arrhenius(80.5, t);
    terms_.ko = 419.8 * arrhenius(14.5, t);
    terms_.gamma = 105000 / (2904.12 * arrhenius(-29, t));
    terms_.fv = capacity_factor(t);
    return terms_;
}

std::optional<double> Leaf::iterate(const ForcingRecord& record, const LeafInput& in, int stream) {
    const double t = in.temperature;
    const double lai = in.lai;
    const double vis = stream == 1 ? in.vis_up : in.vis_down;
    const double q = kPhotonsPerWatt * vis;

    // At night only the dark respiration is needed; the other factors are left
    // from an earlier temperature and go unused.
    const TemperatureTerms& tt = temperature_terms(t, record.sw_in < kDaylight);
    const double kc = tt.kc;
    const double ko = tt.ko;
    const double gamma = tt.gamma;
    const double rd0 = lai * _rd25 * tt.rd;
    dark_respiration = rd0;

    if (record.sw_in < kDaylight) {
        gross_production = 0;
        if (stream == 1) return 0.0;
        sums.dark += rd0;
        if (conserving) {
            vapour_conductance = per_volume_of_air(_g0, record.rho_air);
            return 0.0;
        }
        const double rho_v = esat(record.ta) * phys::kMolarWater /
                             (phys::kGasConstant * (record.ta + phys::kZeroCelsius));
        vapour_conductance = _g0 * phys::kMolarWater / rho_v;
        return 0.0;
    }

    // Electron transport rate of a photon flux, umol m-2 s-1.
    const auto transport = [this](double photons) {
        return _jmax * photons / std::sqrt((_qn * _jmax) * (_qn * _jmax) + photons * photons);
    };
    const double j = transport(q);
    const double vm = _vmax * tt.fv * lai;
    dark_respiration = rd0 / (1 + 0.001 * q);
    // The boundary-layer conductance back in mol m-2 s-1, through the molar mass
    // it was turned into m s-1 with.
    const double molar = conserving ? phys::kMolarAir : phys::kMolarWater;
    double gb = record.rho_air / molar * gb_.vapour(in.wind, in.width, in.rho);
    if (!(gb > kMinBoundaryLayer)) gb = kMinBoundaryLayer;
    const double cv = kc * (1 + kOxygen / ko);
    double f = _vpd != 0 ? 1 / (1 + _gd * record.vpd) : record.rh;
    // Energy-conserving physics: a drying root zone closes the stomata, scaling the
    // slope of the conductance; the minimum conductance stays.
    if (conserving) {
        water_stress = stress_factor(in.soil_water);
        f *= water_stress;
    }
    const Exchange exchange{vm, j, gamma, cv, record.co2, gb, _g0, _g1 * f};

    Solve solve(exchange);
    if (stream == 1) {
        // The downward stream's solve, which the next call makes, runs side by
        // side with this one: the two chains of dependent steps overlap. Each
        // stops at its own convergence or limit, so both end exactly as alone.
        Exchange down = exchange;
        down.j = transport(kPhotonsPerWatt * in.vis_down);
        Solve other(down);
        while (!solve.done() || !other.done()) {
            if (!solve.done()) solve.step();
            if (!other.done()) other.step();
        }
        const Assimilation& r = other.s;
        downward_ = {key_of(down), r.a, r.gs, r.cs, r.ci, other.converged, true};
    } else if (downward_.ready && downward_.key == key_of(exchange)) {
        solve.s = {downward_.a, downward_.gs, downward_.cs, downward_.ci};
        solve.converged = downward_.converged;
        downward_.ready = false;
    } else {
        while (!solve.done()) solve.step();
    }
    if (!solve.converged) return std::nullopt;
    const Assimilation& s = solve.s;

    if (stream == 1) {
        gross_production = s.a;
        return s.a;
    }
    gross_production += s.a;
    sums.gross += gross_production;
    sums.dark += dark_respiration;
    sums.vm += vm;
    sums.j += j;
    sums.cv += cv;
    sums.cs += s.cs;
    sums.ci += s.ci;
    sums.gamma += gamma;
    sums.gs += s.gs;
    sums.gb += gb;
    sums.vis_ratio += (in.vis_down + in.vis_up) / record.sw_in;
    vapour_conductance = conserving ? per_volume_of_air(s.gs, record.rho_air)
                                    : s.gs * phys::kMolarWater / record.rho_air;
    return s.a;
}

void Leaf::write_output(const ForcingRecord& record, SiteSums& leaving) {
    leaving.gpp += sums.gross;
    leaving.resp += sums.dark;
    Sums& s = sums;
    output.write_means(record, {&s.gross, &s.dark, &s.vm, &s.j, &s.cv, &s.cs, &s.ci, &s.gamma,
                                &s.gs, &s.gb, &s.vis_ratio});
}

}  // namespace kelmora
