// The woody part of a plant layer: stem area, carbon, respiration and litter.
#pragma once

#include <cstdint>
#include <string>

#include "files/output_file.h"
#include "files/param_file.h"
#include "physics/physics.h"

namespace kelmora {

struct ForcingRecord;

class Stem {
  public:
    std::string name;  // out_path + "tree.stem" or "shrub.stem"
    OutputFile output;

    int32_t _dynamic = 0;  // carbon storage mode: 0 static, otherwise dynamic
    double _dim = 0.1;     // typical branch diameter, m
    double _rt = 25;       // residence time of stem carbon, yr
    double _re25 = 0.4;    // respiration rate at 298 K
    double _ere = 50;      // activation energy of respiration, kJ mol-1
    double _rd25 = 0.4;    // litter decomposition rate at 298 K
    double _erd = 50;      // activation energy of decomposition, kJ mol-1
    double _carbon = 10;   // stem carbon, kgC m-2
    double _ssa = 0.1;     // specific stem area, m2 kg-1
    double _dmc = 0.7;     // dry matter content
    double _abs = 0.7;     // absorptivity for visible radiation
    double _refl = 0.3;    // reflectivity for visible radiation
    double _litter = 0.5;  // stem litter, kgC m-2

    double temperature = 0;    // K
    double respiration = 0;    // umol m-2 s-1
    double decomposition = 0;  // umol m-2 s-1

    // Sums over the record's sub-steps, in the order of the output columns.
    struct Sums {
        double temperature = 0;  // degC
        double carbon = 0;
        double litter = 0;
        double respiration = 0;
        double decomposition = 0;
        double evaporation = 0;
        double net_radiation = 0;
        double sensible = 0;
        double latent = 0;
    } sums;

    // `restart`: take the starting state from the previous output file (none:
    // start anew).
    Failure init(const ForcingRecord& record, const std::string& out_path, bool is_shrub,
                 Restart* restart);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    Failure open_output();

    // Respiration, litter decomposition slowed by the soil's moisture factor
    // `soil_fw` and, in the dynamic mode, the carbon update of one sub-step with
    // the share `alloc` of `alloc_sum` of the leaf's net assimilation `net`; run
    // at the end of the plant's step A.
    // `t`: the temperature (K) that drives respiration and decay in the sub-step.
    void update_carbon(double dt, double soil_fw, double net, double alloc, double alloc_sum,
                       double t);

    // Adds the latent heat, respiration and decomposition to `leaving` and writes
    // the line.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

  private:
    KeptArrhenius arrhenius_;  // respiration and decay share one temperature
    KeptExp turnover_exp_;     // the turnover's exponential, the same in every sub-step
};

}  // namespace kelmora
