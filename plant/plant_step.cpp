#include "plant/plant.h"

#include "run/site.h"

namespace kelmora {

bool Plant::step_a(const ForcingRecord&, Site&) { return true; }
bool Plant::step_b(const ForcingRecord&, Site&) { return true; }
void Plant::transfer_vis() {}
void Plant::transfer_ir() {}
void Plant::intercept(const ForcingRecord&, const Site&, int, double) {}

}  // namespace kelmora
