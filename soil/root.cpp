#include "soil/root.h"

#include "run/site.h"

namespace kelmora {

Root::Root(bool coarse) : _coarse(coarse) {
    if (coarse) {
        _life = 1;
        _dead = 0.5;
        _rt = 25;
    }
}

bool Root::init(Site&) { return true; }
bool Root::read_parameters(Site&, const std::string&) { return true; }
bool Root::write_parameters(Site&, const std::string&) { return true; }
bool Root::open_output(Site&, const std::string&) { return true; }
void Root::compute_rates(const Site&) {}
bool Root::update_carbon(Site&) { return true; }
bool Root::write_output(const ForcingRecord&, Site&) { return true; }

}  // namespace kelmora
