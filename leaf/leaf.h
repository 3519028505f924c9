// The big leaf of a plant layer: gross photosynthesis, dark respiration and
// stomatal conductance, solved for the intercellular CO2 by a Newton iteration.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "files/output_file.h"
#include "files/param_file.h"
#include "physics/physics.h"

namespace kelmora {

struct ForcingRecord;

inline constexpr std::string_view kLeafFailure = "Leaf iterate method failed to converge.";

// What the leaf sees in a sub-step, handed down by its plant layer.
struct LeafInput {
    double temperature = 0;  // foliage temperature, K
    double lai = 0;          // leaf area index
    double vis_down = 0;     // visible absorbed from the downward stream, W m-2
    double vis_up = 0;       // visible absorbed from the upward stream, W m-2
    double wind = 0;         // wind at the layer's air node, m s-1
    double width = 0;        // leaf width, m
    double rho = 0;          // air density of the layer's profile, kg m-3
    // Share of the root zone's available water (0 at wilting, 1 when not
    // limiting), used by the energy-conserving physics alone.
    double soil_water = 1;
};

class Leaf {
  public:
    std::string name;  // out_path + "tree.leaf" or "shrub.leaf"
    OutputFile output;
    bool conserving = false;  // the energy-conserving physics, set by init

    int32_t _vpd = 1;      // humidity form of the stomatal model: non-zero VPD, 0 RH
    double _vmax = 75.0;   // carboxylation capacity at the optimal temperature, umol m-2 s-1
    double _jmax = 85.0;   // electron transport capacity, umol m-2 s-1
    double _topt = 38.0;   // optimal temperature, degC
    double _ep = 220.0;    // deactivation term of the peaked temperature function
    double _ea = 55.0;     // activation energy of the peaked temperature function
    double _qn = 8.5;      // light-response coefficient of electron transport
    double _rd25 = 1.5;    // dark respiration at 25 degC, umol m-2 s-1
    double _erd = 50.0;    // activation energy of dark respiration, kJ mol-1
    double _g0 = 0.003;    // minimum stomatal conductance, mol m-2 s-1
    double _g1 = 5.6;      // slope of the stomatal conductance
    double _gd = 1.0;      // VPD coefficient, kPa-1
    double _stress = 5.0;  // shape of the soil-water stress (energy-conserving physics)

    // Sums over the record's sub-steps, in the order of the output columns.
    struct Sums {
        double gross = 0;      // gross production
        double dark = 0;       // dark respiration
        double vm = 0;         // carboxylation capacity
        double j = 0;          // electron transport rate
        double cv = 0;         // effective Michaelis constant
        double cs = 0;         // CO2 at the leaf surface
        double ci = 0;         // intercellular CO2
        double gamma = 0;      // CO2 compensation point
        double gs = 0;         // stomatal conductance
        double gb = 0;         // boundary-layer conductance
        double vis_ratio = 0;  // absorbed visible over global radiation
    } sums;
    double vapour_conductance = 0;  // m s-1
    double dark_respiration = 0;    // umol m-2 s-1
    double gross_production = 0;    // umol m-2 s-1, both streams after the second call
    double water_stress = 1;        // stress factor of the last day sub-step, 1 unstressed

    // `conserving`: the energy-conserving physics, whose starting conductance
    // follows from the air density `rho_air`.
    Failure init(const std::string& out_path, bool is_shrub, bool conserving, double rho_air);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    Failure open_output();

    // One solve for the visible radiation absorbed from the upward (stream 1) or
    // the downward (stream 0) stream; the gross assimilation of the stream, none
    // when the iteration does not converge.
    std::optional<double> iterate(const ForcingRecord& record, const LeafInput& in, int stream);

    // Adds the gross production and dark respiration to `leaving` and writes the
    // record's line.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

    // Peaked temperature function of the carboxylation capacity at `t` K; 1 at the
    // optimal temperature.
    double capacity_factor(double t) const;

    // Soil-water stress factor of the stomata, between 0 and 1, of the available
    // share `w` of the root zone's water.
    double stress_factor(double w) const;

  private:
    // The temperature factors of a foliage temperature: both calls of a sub-step
    // see the same temperature, so the second takes them from the first.
    struct TemperatureTerms {
        double t = std::numeric_limits<double>::quiet_NaN();  // matches no temperature
        double kc = 0;     // Michaelis constant of CO2, umol mol-1
        double ko = 0;     // Michaelis constant of O2, mmol mol-1
        double gamma = 0;  // CO2 compensation point, umol mol-1
        double rd = 0;     // temperature factor of dark respiration
        double fv = 0;     // peaked temperature factor of the carboxylation capacity
        // Whether kc, ko, gamma and fv are those of `t`.
        bool photosynthesis = false;
    };
    // The factors of `t`; with `dark_only` just the dark respiration's.
    const TemperatureTerms& temperature_terms(double t, bool dark_only);
    TemperatureTerms terms_;

    // The downward stream's solve, made side by side with the upward stream's in
    // the first call of a sub-step; the second call takes it when its exchange
    // (capacities, constants, CO2, conductances) is exactly the one it was made for.
    struct PendingSolve {
        std::array<double, 8> key{};
        double a = 0;
        double gs = 0;
        double cs = 0;
        double ci = 0;
        bool converged = false;
        bool ready = false;
    };
    PendingSolve downward_;

    // The boundary-layer conductance of the leaves, which both calls of a
    // sub-step ask for in the same wind.
    SurfaceConductance gb_;
};

}  // namespace kelmora
