// One vegetation layer of the site, the trees or the shrubs beneath them: its
// structure, radiation transfer, interception, air node and energy balance.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "leaf/foliage.h"
#include "physics/aerodynamics.h"
#include "plant/stem.h"
#include "run/output_file.h"

namespace kelmora {

class Site;
struct ForcingRecord;

// Radiation streams of a layer in the current sub-step, W m-2 of ground.
struct Radiation {
    double vis_abs_down = 0;  // visible absorbed by the foliage from the downward stream
    double vis_abs_up = 0;    // visible absorbed by the foliage from the upward stream
    double foliage_net = 0;   // net radiation of the foliage
    double stem_net = 0;      // net radiation of the stems
    double ir_in_down = 0;    // infrared arriving at the top
    double ir_in_up = 0;      // infrared arriving at the bottom from below
    double vis_in_down = 0;   // visible arriving at the top (working value)
    double vis_in_up = 0;     // visible arriving at the bottom (working value)
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
    Interception interception;
    Foliage foliage;
    Stem stem;
    std::string name;  // out_path + "tree" or "shrub"
    OutputFile output;
    int32_t is_shrub = 0;

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

    // Sums over the record's sub-steps: t12 (degC), q12, sensible heat to the
    // reference height, visible out down, visible out up, infrared out down,
    // infrared out up.
    std::array<double, 7> sums{};

    double lai() const { return foliage.carbon * foliage._sla; }
    double sai() const { return stem._carbon * stem._ssa; }
    double lad() const { return lai() / (_ztop - _zbot); }
    double cover_fraction() const;
    double alloc_sum() const { return _alloc1 + _alloc2 + _alloc3 + _alloc4; }
    double throughfall() const { return interception.passed[Interception::kStem]; }

    bool init(const ForcingRecord& record, Site& site);
    bool read_parameters(Site& site, const std::string& path);
    bool write_parameters(Site& site, const std::string& path);
    bool open_output(Site& site, const std::string& path);

    bool step_a(const ForcingRecord& record, Site& site);
    bool step_b(const ForcingRecord& record, Site& site);

    // Writes the plant's, foliage's, leaf's and stem's lines and hands their sums
    // to the site accumulators.
    bool write_output(const ForcingRecord& record, Site& site);

    void transfer_vis();
    void transfer_ir();
    void intercept(const ForcingRecord& record, const Site& site, int surface, double input);
};

// Whether a layer takes its starting state from its previous output file: only
// when the site restarts, and never for the shrub layer of a site without one
// (that layer is never stepped, so its files hold no state).
bool layer_restarts(const Site& site, int32_t is_shrub);

}  // namespace kelmora
