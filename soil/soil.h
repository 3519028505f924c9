// The soil column below the lowest plant layer: surface energy balance, heat
// and water flow between layers, root water uptake; owns the root pools.
#pragma once

#include <string>
#include <vector>

#include "physics/aerodynamics.h"
#include "run/output_file.h"
#include "soil/root.h"

namespace kelmora {

class Site;
class Plant;
struct ForcingRecord;

class Soil {
  public:
    Aerodynamics aero;
    Root fine{false};
    Root coarse{true};
    std::string name;  // out_path + "soil"
    OutputFile output;

    double _refl = 0.1;       // surface reflectivity for visible radiation
    double _rgh = 0.01;       // surface roughness length, m
    double _fcv = 1;          // structural factor of the apparent heat capacity
    double _fgh = 1;          // structural factor of the apparent thermal conductivity
    double _b = 6.6;          // exponent of the retention curve
    double _psie = -3.3;      // air entry water potential, J kg-1
    double _ks = 0.000072;    // saturated hydraulic conductivity, kg s m-3
    double _porosity = 0.53;  // m3 m-3
    double _zr = 3;           // depth of the root distribution, m
    double _kw = 0.1;         // moisture coefficient of decomposition
    double _pw = 2;           // moisture power of decomposition
    double _W0 = 0.32;        // initial water fraction of the top layer
    double _Wd = 0.45;        // permanent water fraction of the deepest layer
    double _Td = 279.15;      // permanent temperature of the deepest layer, K (degC in the file)

    // Layer lists, index 0 at the surface.
    std::vector<double> _dz;         // thickness, m
    std::vector<double> _temp;       // temperature, K
    std::vector<double> _water;      // water, kg m-2
    std::vector<double> _froot;      // root share
    std::vector<double> _cv;         // apparent volumetric heat capacity, J m-3 K-1
    std::vector<double> _heat;       // net heat gain of the sub-step, W m-2
    std::vector<double> _flow;       // net water gain of the sub-step, kg m-2
    std::vector<double> _temp_sum;   // sum of temperatures, degC
    std::vector<double> _water_sum;  // sum of water, kg m-2

    double _Ts = 0;        // surface temperature, K
    double _qs = 0;        // saturation specific humidity at the surface, or 0
    double _fw = 1;        // moisture factor of decomposition
    double _runoff = 0;    // water of the sub-step that did not fit in, kg m-2
    double _flux_sum = 0;  // sum of the net surface energy flux, W m-2

    size_t layers() const { return _dz.size(); }

    bool init(const ForcingRecord& record, Site& site);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    void build_layers();
    bool open_output(Site& site, const std::string& path);

    bool step_a(const ForcingRecord& record, Site& site);
    bool step_b(const ForcingRecord& record, Site& site);
    // Writes the soil's line, then the roots' lines.
    bool write_output(const ForcingRecord& record, Site& site);

  private:
    // Reference height and roughness of the soil surface's wind profile.
    void set_up_aerodynamics(const ForcingRecord& record, const Site& site);
    // Parts of step_a: energy and water at the surface, water flows between
    // layers, heat flows between layers.
    void surface_balance(const ForcingRecord& record, const Site& site);
    void water_flows(double dt);
    void heat_flows();
    // Keeps layer i between 5 % of saturation and saturation, moving the excess or
    // the deficit to the layer below (or out of the column above the deepest).
    void bound_water(size_t i);
};

}  // namespace kelmora
