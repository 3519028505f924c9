#include "plant/stem.h"

#include "plant/plant.h"
#include "run/site.h"

namespace kelmora {

bool Stem::init(const ForcingRecord&, Site&, const Plant&) { return true; }
bool Stem::read_parameters(Site&, const std::string&) { return true; }
bool Stem::write_parameters(Site&, const std::string&) { return true; }
bool Stem::open_output(Site&, const std::string&) { return true; }
void Stem::update_carbon(const Site&, const Plant&) {}
bool Stem::write_output(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
