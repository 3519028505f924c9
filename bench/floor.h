// The fair floor of a sub-step: the exp, log, pow and sqrt calls the model
// makes, in the measured mix, and the two serial chains no exact rewrite can
// shorten, the visible radiation passes through the sub-layers and the leaf's
// Newton steps, run with the model's own step formulas. The counts and how they
// were measured are in floor_bench.cpp.
#pragma once

#include <cstdint>

namespace kelmora::bench {

// Mean work of one sub-step of a kind (day or night).
struct FloorMix {
    double exp = 0;
    double log = 0;
    double pow = 0;
    double sqrt = 0;           // outside the Newton steps
    double newton_pairs = 0;   // Newton steps run two side by side (none in the serial floor)
    double newton_single = 0;  // Newton steps run alone
    double radiation = 0;      // dependent steps of the radiation passes
};

// How the floor runs the Newton steps: one after the other, as the model's
// solves do (the fair floor), or the two solves of a plant side by side (the
// shorter one's steps in pairs with the longer one's, then the rest alone), to
// show what running them side by side can save.
enum class Newton { kSerial, kSideBySide };

// The measured mix of a site type (0: trees; 1: trees and shrubs) with
// `soil_layers` layers, by day (incoming shortwave of at least 1 W m-2) or night.
FloorMix floor_mix(int type, bool day, int soil_layers, Newton newton = Newton::kSerial);

// Runs floor sub-steps. Fractional mean counts are met exactly over many
// sub-steps: each kind carries its remainders from one sub-step to the next.
class Floor {
  public:
    Floor(int type, int soil_layers, Newton newton = Newton::kSerial);

    // One sub-step's floor work; returns a sum of its results, for the caller to
    // keep so nothing is optimised away.
    double substep(bool day);

  private:
    FloorMix mix_[2];
    FloorMix carry_[2];   // the remainders of each kind's counts
    int plants_;          // plant layers, each with four radiation passes
    uint64_t k_ = 0;      // sub-steps run; drives the arguments
    double exponent_[3];  // the soil's pow exponents, held at run time
};

}  // namespace kelmora::bench
