#include "soil/soil.h"

#include "run/site.h"

namespace kelmora {

bool Soil::init(const ForcingRecord&, Site&) { return true; }
bool Soil::read_parameters(Site&, const std::string&) { return true; }
bool Soil::write_parameters(Site&, const std::string&) { return true; }
void Soil::build_layers() {}
bool Soil::open_output(Site&, const std::string&) { return true; }
bool Soil::write_output(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
