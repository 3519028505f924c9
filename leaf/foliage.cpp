#include "leaf/foliage.h"

#include "plant/plant.h"
#include "run/site.h"

namespace kelmora {

bool Foliage::init(const ForcingRecord&, Site&, const Plant&) {
    return true;
}
bool Foliage::read_parameters(Site&, const std::string&) {
    return true;
}
bool Foliage::write_parameters(Site&, const std::string&) {
    return true;
}
bool Foliage::open_output(Site&, const std::string&) {
    return true;
}
void Foliage::refill_carbon(const ForcingRecord&) {}
void Foliage::update_carbon(const ForcingRecord&, const Site&, const Plant&) {}
bool Foliage::write_output(const ForcingRecord&, Site&) {
    return true;
}

}  // namespace kelmora
