// The woody part of a plant layer: stem area, carbon, respiration and litter.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "run/output_file.h"

namespace kelmora {

class Site;
class Plant;
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
    int32_t is_shrub = 0;      // the layer's flag, taken from the plant at init

    // Sums over the record's sub-steps: temperature (degC), carbon, litter,
    // respiration, decomposition, evaporation, net radiation, sensible heat,
    // latent heat.
    std::array<double, 9> sums{};

    bool init(const ForcingRecord& record, Site& site, const Plant& plant);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    bool open_output(Site& site, const std::string& path);

    // Respiration, litter decomposition and, in the dynamic mode, the carbon update
    // of one sub-step; run at the end of the plant's step A.
    void update_carbon(const Site& site, const Plant& plant);

    // Hands the latent heat, respiration and decomposition sums to the site and
    // writes the line.
    bool write_output(const ForcingRecord& record, Site& site);
};

}  // namespace kelmora
