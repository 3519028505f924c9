#include "leaf/leaf.h"

#include "plant/plant.h"
#include "run/site.h"

namespace kelmora {

bool Leaf::init(Site&, const Plant&) { return true; }
bool Leaf::read_parameters(Site&, const std::string&) { return true; }
bool Leaf::write_parameters(Site&, const std::string&) { return true; }
bool Leaf::open_output(Site&, const std::string&) { return true; }
bool Leaf::iterate(const ForcingRecord&, Site&, const Plant&, int) { return true; }
bool Leaf::write_output(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
