// The leaf mass of a plant layer: structure, optics, the seasonal course of leaf
// area, foliage carbon and leaf litter. Owns the layer's leaf.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "files/output_file.h"
#include "files/param_file.h"
#include "leaf/leaf.h"
#include "physics/physics.h"

namespace kelmora {

struct ForcingRecord;

class Foliage {
  public:
    Leaf leaf;
    std::string name;  // out_path + "tree.foliage" or "shrub.foliage"
    OutputFile output;

    int32_t _dynamic = 0;            // carbon storage mode: 0 static, otherwise dynamic
    double _dim = 0.1;               // typical leaf width, m
    double _sla = 12.0;              // specific leaf area, m2 per kgC
    double _dmc = 0.5;               // dry matter content
    double _abs = 0.8;               // absorptivity for visible radiation
    double _refl = 0.13;             // reflectivity for visible radiation
    double _rt = 30.0;               // residence time during leaf fall, days
    double _rd25 = 1.0;              // litter decomposition rate at 25 degC
    double _erd = 50.0;              // activation energy of litter decomposition, kJ mol-1
    double _litter = 0.1;            // leaf litter, kgC m-2
    std::array<double, 365> _lai{};  // leaf area index of days 1..365 at [0..364]

    double carbon = 0;         // kgC m-2
    double decomposition = 0;  // umol m-2 s-1
    double temperature = 0;    // K

    // Sums over the record's sub-steps, in the order of the output columns.
    struct Sums {
        double temperature = 0;  // degC
        double carbon = 0;
        double litter = 0;
        double decomposition = 0;
        double evaporation = 0;
        double transpiration = 0;
        double net_radiation = 0;
        double sensible = 0;
        double latent = 0;
    } sums;

    double lai_of_day(int32_t day) const { return _lai[static_cast<size_t>(day - 1)]; }

    // `restart`: take the starting state from the previous output file (none:
    // start anew); `conserving`: the energy-conserving physics.
    Failure init(const ForcingRecord& record, const std::string& out_path, bool is_shrub,
                 Restart* restart, bool conserving);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    // Opens the foliage's and the leaf's output files.
    Failure open_output();

    // Replaces carbon that has run out by the prescribed leaf area of the day.
    void refill_carbon(const ForcingRecord& record);
    // Litter decomposition at the soil's temperature `soil_t` (K) and moisture
    // factor `soil_fw` and, in the dynamic mode, growth by the share `alloc` of
    // `alloc_sum` of the leaf's net assimilation, and leaf fall.
    void update_carbon(const ForcingRecord& record, double dt, double soil_t, double soil_fw,
                       double alloc, double alloc_sum);

    // Adds the decomposition and the latent heat to `leaving` and writes the line.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

    // The prescribed seasonal course with the summer leaf area index `peak`.
    static double default_lai(int32_t day, double peak);

  private:
    KeptExp fall_exp_;  // the leaf fall's exponential, the same in every sub-step
};

}  // namespace kelmora
