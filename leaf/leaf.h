// The big leaf of a plant layer: gross photosynthesis, dark respiration and
// stomatal conductance, solved for the intercellular CO2 by a Newton iteration.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "run/output_file.h"

namespace kelmora {

class Site;
class Plant;
struct ForcingRecord;

class Leaf {
  public:
    std::string name;  // out_path + "tree.leaf" or "shrub.leaf"
    OutputFile output;

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
    double _stress = 5.0;  // read and written only

    // Sums over the record's sub-steps, in the order of the output columns: gross
    // production, dark respiration, Vm, J, Cv, Cs, Ci, Gamma*, gs, gb, VIS/GSR.
    std::array<double, 11> sums{};
    double vapour_conductance = 0;  // m s-1
    double dark_respiration = 0;    // umol m-2 s-1
    double gross_production = 0;    // umol m-2 s-1, both streams after the second call

    bool init(Site& site, const Plant& plant);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    bool open_output(Site& site, const std::string& path);

    // One solve for the visible radiation absorbed from the upward (stream 1) or
    // the downward (stream 0) stream. False when the iteration does not converge.
    bool iterate(const ForcingRecord& record, Site& site, const Plant& plant, int stream);

    // Hands the gross production and dark respiration sums to the site and writes
    // the record's line.
    bool write_output(const ForcingRecord& record, Site& site);

    // Peaked temperature function of the carboxylation capacity at `t` K; 1 at the
    // optimal temperature.
    double capacity_factor(double t) const;

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
    };
    const TemperatureTerms& temperature_terms(double t);
    TemperatureTerms terms_;
};

}  // namespace kelmora
