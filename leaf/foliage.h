// The leaf mass of a plant layer: structure, optics, the seasonal course of leaf
// area, foliage carbon and leaf litter. Owns the layer's leaf.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "leaf/leaf.h"
#include "run/output_file.h"

namespace kelmora {

class Site;
class Plant;
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
    double litter = 0.1;             // leaf litter, kgC m-2 (key "_litter")
    std::array<double, 365> _lai{};  // leaf area index of days 1..365 at [0..364]

    double carbon = 0;         // kgC m-2
    double decomposition = 0;  // umol m-2 s-1
    double temperature = 0;    // K

    // Sums over the record's sub-steps: temperature (degC), carbon, litter,
    // decomposition, evaporation, transpiration, net radiation, sensible heat,
    // latent heat.
    std::array<double, 9> sums{};

    // Set by init: the shrub layer takes no restart state while the site has no
    // shrub layer.
    bool shrub_layer = false;

    double lai_of_day(int32_t day) const { return _lai[static_cast<size_t>(day - 1)]; }

    bool init(const ForcingRecord& record, Site& site, const Plant& plant);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    bool open_output(Site& site, const std::string& path);

    // Replaces carbon that has run out by the prescribed leaf area of the day.
    void refill_carbon(const ForcingRecord& record);
    // Litter decomposition and, in the dynamic mode, growth and leaf fall.
    void update_carbon(const ForcingRecord& record, const Site& site, const Plant& plant);

    // Hands the decomposition and latent heat sums to the site and writes the line.
    bool write_output(const ForcingRecord& record, Site& site);

    // The prescribed seasonal course with the summer leaf area index `peak`.
    static double default_lai(int32_t day, double peak);
};

}  // namespace kelmora
