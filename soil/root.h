// A pool of root carbon, fine or coarse, split into live and dead carbon.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "files/output_file.h"
#include "files/param_file.h"
#include "physics/physics.h"

namespace kelmora {

struct ForcingRecord;

// What a plant layer hands to the soil at the end of the sub-step: its
// transpiration (kg m-2 s-1) and the carbon it allocates to the fine and the
// coarse roots (umol m-2 s-1).
struct PlantUptake {
    double transpiration = 0;
    double fine_roots = 0;
    double coarse_roots = 0;
};

class Root {
  public:
    explicit Root(bool coarse);

    int32_t _dynamic = 0;  // carbon storage mode: 0 static, otherwise dynamic
    double _rt = 1;        // residence time of live carbon, yr
    double _rd25 = 2;      // decomposition rate of dead carbon at 298 K
    double _erd = 50;      // activation energy of decomposition, kJ mol-1
    double _re25 = 1.5;    // respiration rate of live carbon at 298 K
    double _ere = 50;      // activation energy of respiration, kJ mol-1
    double _dmc = 0.5;     // dry matter content
    double _life = 1.5;    // live carbon, kgC m-2
    double _dead = 0;      // dead carbon, kgC m-2
    bool is_coarse = false;
    double turnover = 0;       // live carbon turning over in the sub-step, kgC m-2
    double respiration = 0;    // umol m-2 s-1
    double decomposition = 0;  // umol m-2 s-1
    // Sums over the record's sub-steps, in the order of the output columns.
    struct Sums {
        double life = 0;
        double dead = 0;
        double respiration = 0;
        double decomposition = 0;
    } sums;

    std::string name;  // out_path + "root.fine" or "root.coarse"
    OutputFile output;

    // `restart`: take the starting state from the previous output file (none:
    // start anew).
    Failure init(const std::string& out_path, Restart* restart);
    // The keys, with "_dead" filling `dead`.
    ParamFile parameters(double& dead);
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    Failure open_output();

    // Turnover, respiration and decomposition at the soil temperature `soil_t` (K)
    // and moisture factor `soil_fw`.
    void compute_rates(double dt, double soil_t, double soil_fw);
    // The carbon update of the sub-step with the plant layers' allocations;
    // returns the fine roots' turnover, which joins the coarse roots' live carbon
    // (0 for the coarse roots, whose turnover stays in their dead carbon).
    double update_carbon(double dt, std::span<const PlantUptake> layers);
    // Adds respiration and decomposition to `leaving` and writes the line.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

  private:
    KeptArrhenius arrhenius_;  // respiration and decomposition share one temperature
};

}  // namespace kelmora
