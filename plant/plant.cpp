#include "plant/plant.h"

#include "run/site.h"

namespace kelmora {

double Plant::cover_fraction() const { return 0; }
bool Plant::init(const ForcingRecord&, Site&) { return true; }
bool Plant::read_parameters(Site&, const std::string&) { return true; }
bool Plant::write_parameters(Site&, const std::string&) { return true; }
bool Plant::open_output(Site&, const std::string&) { return true; }
bool Plant::write_output(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
