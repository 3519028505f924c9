#include "soil/soil.h"

#include "run/site.h"

namespace kelmora {

bool Soil::step_a(const ForcingRecord&, Site&) { return true; }
bool Soil::step_b(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
