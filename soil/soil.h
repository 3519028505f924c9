// The soil column below the lowest plant layer: surface energy balance, heat
// and water flow between layers, root water uptake; owns the root pools.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "files/param_file.h"
#include "physics/aerodynamics.h"
#include "physics/physics.h"
#include "soil/root.h"

namespace kelmora {

struct ForcingRecord;

// What the soil receives from the lowest plant layer in step A: the visible and
// infrared radiation leaving its bottom (W m-2), its air node (K, kg kg-1), its
// throughfall (kg m-2 s-1), its wind at the foliage bottom and at the air node
// (m s-1), the height of its foliage bottom (m), whether it is the shrub layer,
// and the litter of every plant layer lying on the floor (kgC m-2).
struct SoilInput {
    double vis_down = 0;
    double ir_down = 0;
    double air_t = 0;
    double air_q = 0;
    double throughfall = 0;
    double wind_bottom = 0;
    double wind_node = 0;
    double foliage_bottom = 0;
    bool under_shrubs = false;
    double litter = 0;
};

class Soil {
  public:
    Aerodynamics aero;
    // The surface's boundary-layer conductances in its profile's wind, kept for
    // the plant layer above, which asks for them in the same wind.
    mutable SurfaceConductance gb;
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
    std::vector<double> temp;        // temperature, K
    std::vector<double> water;       // water, kg m-2
    std::vector<double> root_share;  // share of the roots in each layer
    std::vector<double> cv;          // apparent volumetric heat capacity, J m-3 K-1
    std::vector<double> heat;        // net heat gain of the sub-step, W m-2
    std::vector<double> flow;        // net water gain of the sub-step, kg m-2
    std::vector<double> temp_sum;    // sum of temperatures, degC
    std::vector<double> water_sum;   // sum of water, kg m-2

    double ts = 0;  // surface temperature, K, the mean of the top two layers
    // Temperature at which the surface exchanges radiation, heat and vapour, K:
    // with the energy-conserving physics its skin's, otherwise ts.
    double surface_t = 0;
    double qs = 0;      // saturation specific humidity at the surface, or 0
    double fw = 1;      // moisture factor of decomposition
    double runoff = 0;  // water of the sub-step that did not fit in, kg m-2
    // Water of the sub-step that left the top layer to the air (negative:
    // condensed onto it), kg m-2.
    double evaporation = 0;
    // Water that has left the column across its bottom since init, kg m-2: what
    // flows into the deepest layer, a fixed reservoir, the excess lost and the
    // deficit made up above it, less what the deepest layer's roots take up.
    double drained = 0;
    double flux_sum = 0;  // sum of the net surface energy flux, W m-2

    // The energy-conserving physics (site option _physics 1), set by init.
    bool conserving = false;
    // Energy-conserving physics only: sum of the latent heat of the surface's
    // evaporation, W m-2, handed to the site with the plants' latent heat, and the
    // net energy flux into the surface of the sub-step (net radiation - sensible -
    // latent heat), W m-2.
    double latent_sum = 0;
    double surface_flux = 0;
    int64_t surface_clamps = 0;  // sub-steps in which the top layer's 5 K bounds acted
    // Energy-conserving physics only: the root-weighted available share of the
    // layers' water between wilting and the point where it stops limiting the
    // stomata (0 to 1), handed to the plant layers; and the surface's vapour
    // conductance of the sub-step's evaporation, m s-1, with the dry soil's
    // resistance.
    double available = 1;
    double g_evaporation = 0.01;

    size_t layers() const { return _dz.size(); }

    // What the soil hands to the plant layer above: the streams leaving its
    // surface (the layer's own visible `vis_down` reflected, the black body) and
    // the surface as a partner of the layer's air node under `pa` kPa.
    Streams upward(double vis_down) const { return {_refl * vis_down, black_body(surface_t)}; }
    Partner as_partner(double pa) const {
        const double gv = conserving ? g_evaporation : gb.vapour(aero.u12, _rgh, aero.rho);
        return {gb.heat(aero.u12, _rgh, aero.rho), gv, surface_t, vapour_pressure(qs, pa)};
    }

    // `restart`: take the starting state from the previous output files (none:
    // start anew); the surface profile is driven from the lowest plant layer's
    // foliage bottom `z_bottom`; `conserving`: the energy-conserving physics.
    Failure init(const ForcingRecord& record, const std::string& out_path, Restart* restart,
                 double z_bottom, bool under_shrubs, bool conserving);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    void build_layers();
    // Opens the soil's and the roots' output files.
    Failure open_output();

    void step_a(const ForcingRecord& record, double dt, const SoilInput& in);
    // Energy-conserving physics: how the top layer's temperature and the surface's
    // saturation humidity follow the change of the air node above in the step
    // (base + follows * change, rows temperature and humidity), and the top
    // layer's fluxes settled for the node's `change`; before step_b.
    NodeChange response(double dt, std::array<double, 4>& follows) const;
    void settle(double dt, NodeChange change);
    // Takes up the plant layers' transpiration and root carbon.
    void step_b(const ForcingRecord& record, double dt, std::span<const PlantUptake> plants);
    // Writes the soil's line, then the roots' lines.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

  private:
    // The top layer's exchange coefficients of the sub-step: sensible heat
    // (W m-2 K-1), vapour (kg m-2 s-1 per kg kg-1, 0 where the evaporation does not
    // follow), the saturation slope (kg kg-1 K-1) and the conduction to the second
    // layer (W m-2 K-1).
    struct Settling {
        double k = 0;
        double gv = 0;
        double slope = 0;
        double conduction = 0;
        double skin = 0;  // conduction from the top layer's middle to the skin, 0: no skin
    };
    Settling settling_;
    // Reference height and roughness of the soil surface's wind profile.
    void set_up_aerodynamics(const ForcingRecord& record, double z_bottom, bool under_shrubs);
    // Parts of step_a: energy and water at the surface, water flows between
    // layers, heat flows between layers.
    void surface_balance(const ForcingRecord& record, double dt, const SoilInput& in);
    void water_flows(double dt);
    void heat_flows();
    // Keeps layer i between 5 % of saturation and saturation, moving the excess or
    // the deficit to the layer below (or out of the column above the deepest).
    void bound_water(size_t i);
    // Energy-conserving physics: the temperature of the surface's skin under the
    // sub-step's radiation and air, with the heat conductance `g`, m s-1.
    double skin_temperature(const ForcingRecord& record, const SoilInput& in, double g);
    // Energy-conserving physics: the sub-step's evaporation (kg m-2) of the top
    // layer for the boundary layer's evaporation `e` against the air's humidity
    // `air_q`, with the drying surface's resistance; sets its vapour conductance
    // and, while the evaporation follows the temperatures, the joint step's slopes.
    double drying_surface_evaporation(const ForcingRecord& record, double dt, double air_q,
                                      double e);
    // Energy-conserving physics: the root zone's available share of water.
    void update_available();
    // Water contents (m3 m-3) at wilting and where water stops limiting the
    // stomata, from the retention curve; set by init.
    double theta_wilting_ = 0;
    double theta_free_ = 0;
    // Water that flowed into the deepest layer in the sub-step, kg m-2.
    double into_deepest_ = 0;
    // Thermal conductivity of the top layer in the last sub-step, W m-1 K-1.
    double lambda_top_ = 0;
    // Heat conductance (W m-2 K-1) from the middle of the top layer to the skin,
    // through the litter on the floor; set by the surface balance of the
    // energy-conserving physics, 0 otherwise.
    double skin_conduction_ = 0;

    // The powers of a layer's water curves, kept while the layer's relative
    // saturation (and the exponents) stay exactly the same: between sub-steps
    // many layers' water does not change, and pow is the soil's main cost.
    struct WaterCurves {
        double theta = std::numeric_limits<double>::quiet_NaN();  // matches no water
        double pw = 0;
        double moisture = 0;  // theta ^ _pw
        double s = std::numeric_limits<double>::quiet_NaN();
        double b = 0;
        double retention = 0;     // s ^ -_b
        double conductivity = 0;  // s ^ (2 _b + 3)
    };
    std::vector<WaterCurves> curves_;

    // A layer's root volume fractions of the heat flows (root water, root dry
    // matter), kept while the root carbon, its dry matter content and the
    // layer's root share and thickness stay exactly the same: with static roots
    // they never change.
    struct RootTerms {
        double m = std::numeric_limits<double>::quiet_NaN();  // matches no root carbon
        double d = 0;
        double share = 0;
        double dz = 0;
        double h = 0;  // root water
        double e = 0;  // root dry matter
    };
    std::vector<RootTerms> root_terms_;
};

}  // namespace kelmora
