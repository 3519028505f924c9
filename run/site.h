// The site: owns every component, the forcing records and the run's settings,
// and drives the time loop.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "plant/plant.h"
#include "run/forcing.h"
#include "run/output_file.h"
#include "soil/soil.h"

namespace kelmora {

class Site {
  public:
    Site();

    Plant tree;
    Plant shrub;
    Soil soil;
    OutputFile output;  // "site.csv"
    std::vector<ForcingRecord> records;
    std::string error_text;
    std::string out_path;  // the output directory, ending in a separator once initialised

    int32_t _type = 0;     // 0: no shrub layer; 1: a shrub layer under the trees
    int32_t _restart = 0;  // non-zero: components start from their previous output
    int32_t _dt = 10;      // sub-step, s
    double _zref = 30.0;   // reference height of the measurements, m

    // Sums over the record's sub-steps that the components hand over.
    double gpp_sum = 0;
    double resp_sum = 0;
    double h_sum = 0;
    double le_sum = 0;

    bool has_shrub() const { return _type == 1; }
    // The plant layer that exchanges with the soil.
    const Plant& lowest_plant() const { return has_shrub() ? shrub : tree; }

    bool init(const std::string& out_path);
    bool read_parameters(const std::string& path);
    bool write_parameters(const std::string& path);

    // Steps every component through every record; progress lines and the
    // correlation go to `console`.
    bool run(std::ostream& console);
    bool write_line(const ForcingRecord& record);
};

}  // namespace kelmora
