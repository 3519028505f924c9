// One vegetation layer of the site, the trees or the shrubs beneath them: its
// structure, radiation transfer, interception, air node and energy balance.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "files/output_file.h"
#include "files/param_file.h"
#include "leaf/foliage.h"
#include "physics/aerodynamics.h"
#include "physics/physics.h"
#include "plant/settling.h"
#include "plant/stem.h"

namespace kelmora {

struct ForcingRecord;

// What a layer receives from above and below in step A: the wind, air
// temperature (K) and water input (kg m-2 s-1) that drive it, the streams
// arriving at its top and its bottom, the soil's temperature (K) and
// moisture factor, which set the litter's decay, and the available share of
// the root zone's water, which the leaves' stomata feel.
struct LayerInput {
    double wind = 0;
    double air_t = 0;
    double water = 0;
    Streams down;
    Streams up;
    double soil_t = 0;
    double soil_fw = 0;
    double soil_water = 1;
};

// How a layer is set up: its output directory, the previous output it restarts
// from (none: it starts anew), the height of the wind that drives it (the
// site's reference height for the trees, the trees' foliage bottom for the
// shrubs), and whether the energy-conserving physics runs (site option
// _physics 1).
struct LayerSetup {
    std::string out_path;
    Restart* restart = nullptr;
    double z_ref = 0;
    bool conserving = false;
};

// Radiation streams of a layer in the current sub-step, W m-2 of ground.
struct Radiation {
    double vis_abs_down = 0;  // visible absorbed by the foliage from the downward stream
    double vis_abs_up = 0;    // visible absorbed by the foliage from the upward stream
    double foliage_net = 0;   // net radiation of the foliage
    double stem_net = 0;      // net radiation of the stems
    double ir_in_down = 0;    // infrared arriving at the top
    double ir_in_up = 0;      // infrared arriving at the bottom from below
    double vis_in_down = 0;   // visible arriving at the top
    double vis_in_up = 0;     // visible arriving at the bottom from below
    double ir_out_down = 0;   // infrared leaving the bottom
    double ir_out_up = 0;     // infrared leaving the top
    double vis_out_down = 0;  // visible leaving the bottom
    double vis_out_up = 0;    // visible leaving the top
};

// Water on the layer's surfaces; pairs hold the foliage value, then the stem value.
struct Interception {
    static constexpr int kFoliage = 0;
    static constexpr int kStem = 1;
    std::array<double, 2> wet_fraction{};
    std::array<double, 2> evaporation{};  // kg m-2 s-1, negative for condensation
    double transpiration = 0;             // kg m-2 s-1, foliage only
    std::array<double, 2> store{};        // kg m-2
    std::array<double, 2> drainage{};     // kg m-2 s-1
    std::array<double, 2> intercepted{};  // kg m-2 s-1
    std::array<double, 2> passed{};       // kg m-2 s-1; the stem value is the throughfall
};

class Plant {
  public:
    Aerodynamics aero;
    Radiation radiation;
    // The boundary-layer conductances of the leaves and of the stems in the
    // air node's wind; interception and the air node take the same values.
    SurfaceConductance gb_leaves;
    SurfaceConductance gb_stems;
    Interception interception;
    Foliage foliage;
    Stem stem;
    std::string name;  // out_path + "tree" or "shrub"
    OutputFile output;
    bool is_shrub = false;
    bool conserving = false;  // the energy-conserving physics, set by init

    double _ztop = 20;      // height of the foliage top, m
    double _zbot = 5;       // height of the foliage bottom, m
    double _pai = 0.65;     // plant area index (patchiness) in the low growth season
    double _fpr = 1;        // structural factor for rain interception
    double _fem = 1;        // structural factor for emissivity
    double _alloc1 = 0.35;  // carbon allocation to foliage
    double _alloc2 = 0.25;  // to stems
    double _alloc3 = 0.35;  // to fine roots
    double _alloc4 = 0.05;  // to coarse roots

    double t12 = 0;  // air temperature at z12, K
    double q12 = 0;  // specific humidity at z12, kg kg-1
    // The stems' temperature change in the last sub-step, K.
    double stem_trend = 0;
    // The forcing air temperature of the last sub-step, K; 0 before the first.
    double forcing_air_t = 0;

    // Sums over the record's sub-steps, in the order of the output columns.
    struct Sums {
        double t12 = 0;  // degC
        double q12 = 0;
        double sensible = 0;  // to the reference height
        double vis_out_down = 0;
        double vis_out_up = 0;
        double ir_out_down = 0;
        double ir_out_up = 0;
    } sums;

    // Sub-steps in which the 5 K bounds around the forcing air temperature acted.
    struct Clamps {
        int64_t foliage = 0;
        int64_t stem = 0;
        int64_t air = 0;
    } clamps;

    double lai() const { return foliage.carbon * foliage._sla; }
    double sai() const { return stem._carbon * stem._ssa; }
    double lad() const { return lai() / (_ztop - _zbot); }
    double cover_fraction() const;
    double alloc_sum() const { return _alloc1 + _alloc2 + _alloc3 + _alloc4; }
    double throughfall() const { return interception.passed[Interception::kStem]; }

    // What the layer hands on: the streams leaving its bottom and its top, the
    // drivers of the layer below (wind at the foliage bottom, air node,
    // throughfall), and its air node as a partner of the layers around it.
    Streams downward() const { return {radiation.vis_out_down, radiation.ir_out_down}; }
    Streams upward() const { return {radiation.vis_out_up, radiation.ir_out_up}; }
    // The air node's temperature (K) and vapour pressure (kPa) under `pa` kPa.
    Air air(double pa) const { return {t12, vapour_pressure(q12, pa)}; }
    // The air node with its conductances, as the layer above sees it.
    Partner as_partner(double pa) const {
        return {aero.ga, vapour_to_above(), t12, vapour_pressure(q12, pa)};
    }
    // The air node's vapour conductance to the air above, m s-1: the turbulence
    // carries vapour as it carries heat (energy-conserving physics); _physics 0
    // takes 0.622 times the heat conductance.
    double vapour_to_above() const { return conserving ? aero.ga : aero.gav; }

    Failure init(const ForcingRecord& record, const LayerSetup& setup);
    ParamFile parameters();
    Failure read_parameters(const std::string& path);
    Failure write_parameters(const std::string& path);
    // Takes the air node from the last line of the previous output file.
    Failure restore(Restart& restart);
    // Opens the plant's, foliage's, leaf's and stem's output files.
    Failure open_output();

    // Radiation, profile, interception, the leaf and the carbon of one sub-step;
    // fails when the leaf's iteration does not converge.
    Failure step_a(const ForcingRecord& record, double dt, const LayerInput& in);
    // The air node, the water stores and the surface temperatures, exchanging
    // with the air `above` (its temperature and vapour pressure) and the air
    // node or surface `below`.
    void step_b(const ForcingRecord& record, double dt, const Air& above, const Partner& below);
    // The energy-conserving step B in two halves, so that the air nodes of all
    // layers settle together: prepare_b linearises the layer around its old state
    // and returns how its air node follows the changes of the nodes around it;
    // finish_b takes those changes and updates the layer as step_b does.
    NodeResponse prepare_b(const ForcingRecord& record, double dt, const Air& above,
                           const Partner& below);
    void finish_b(const ForcingRecord& record, double dt, NodeChange up, NodeChange low);
    // Between the two halves: where the partners' changes `up` and `low` take a
    // surface far, its slopes become the secants over the step; returns whether
    // they did, and node_response then gives the node's new response.
    bool refine_b(const ForcingRecord& record, NodeChange up, NodeChange low);
    NodeResponse node_response() const;

    // Writes the plant's, foliage's, leaf's and stem's lines and adds what leaves
    // them to `leaving`; only the top layer's sensible heat leaves the site.
    void write_output(const ForcingRecord& record, SiteSums& leaving);

    void transfer_vis();
    // Infrared transfer; expects transfer_vis to have run in the sub-step.
    void transfer_ir();
    void intercept(const ForcingRecord& record, double dt, int surface, double input);
    // Energy-conserving interception of surface k (area index a) while it
    // evaporates at `rate` per kg of water held (s-1): the store solved exactly.
    void drain_exactly(size_t k, double a, double dt, double input, double rate);

    // Saturation specific humidity (kg kg-1) of the leaves' (k = 0) or the
    // stems' surface at `t` K under `pa` kPa.
    double surface_qsat(size_t k, double t, double pa) { return saturation_[k].qsat(t, pa); }
    // The part of the thermal radiation that the leaves (k = 0) or the stems of
    // area index `a` absorb and emit where they cover the ground.
    double emission_share(size_t k, double a) { return 1 - emissivity_exp_[k](-0.5 * _fem * a); }

  private:
    void add_node_sums();
    Settling settling_;
    // The exponentials of the emissivities and of the rain catch of the leaves
    // and the stems, which change only with the area indices.
    std::array<KeptExp, 2> emissivity_exp_;
    std::array<KeptExp, 2> catch_exp_;
    // Saturation at the leaves' and the stems' temperatures, which interception
    // and the air node both ask for.
    std::array<KeptEsat, 2> saturation_;
};

}  // namespace kelmora
