// A pool of root carbon, fine or coarse, split into live and dead carbon.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "run/output_file.h"

namespace kelmora {

class Site;
struct ForcingRecord;

class Root {
  public:
    explicit Root(bool coarse);

    int32_t _dynamic = 0;  // carbon storage mode: 0 static, otherwise dynamic
    bool _coarse = false;
    double _rt = 1;        // residence time of live carbon, yr
    double _rd25 = 2;      // decomposition rate of dead carbon at 298 K
    double _erd = 50;      // activation energy of decomposition, kJ mol-1
    double _re25 = 1.5;    // respiration rate of live carbon at 298 K
    double _ere = 50;      // activation energy of respiration, kJ mol-1
    double _dmc = 0.5;     // dry matter content
    double _life = 1.5;    // live carbon, kgC m-2
    double _dead = 0;      // dead carbon, kgC m-2
    double _turnover = 0;  // live carbon turning over in the sub-step, kgC m-2
    double _resp = 0;      // umol m-2 s-1
    double _decomp = 0;    // umol m-2 s-1
    // Sums over the record's sub-steps of live carbon, dead carbon, respiration,
    // decomposition.
    std::array<double, 4> sums{};

    std::string name;  // out_path + "root.fine" or "root.coarse"
    OutputFile output;

    bool init(Site& site);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    bool open_output(Site& site, const std::string& path);

    void compute_rates(const Site& site);
    bool update_carbon(Site& site);
    // Hands respiration and decomposition to the site's total respiration and
    // writes the line.
    bool write_output(const ForcingRecord& record, Site& site);
};

}  // namespace kelmora
