#include "run/statistic.h"

#include <cmath>
#include <ostream>

#include "files/numbers.h"

namespace kelmora {

void FitStatistic::add(double o, double s) {
    if (n_ == 0) {
        first_o_ = o;
        first_s_ = s;
    }
    o_varies_ = o_varies_ || o != first_o_;
    s_varies_ = s_varies_ || s != first_s_;
    n_ += 1;
    so_ += o;
    ss_ += s;
    soo_ += o * o;
    sss_ += s * s;
    sos_ += o * s;
}

double FitStatistic::r_squared() const {
    const double mo = so_ / n_;
    const double ms = ss_ / n_;
    const double cov = sos_ / n_ - ms * mo;
    const double sd_s = std::sqrt(sss_ / n_ - ms * ms);
    const double sd_o = std::sqrt(soo_ / n_ - mo * mo);
    const double r = cov / (sd_s * sd_o);
    return r * r;
}

bool FitStatistic::defined() const {
    return n_ >= 2 && o_varies_ && s_varies_ && std::isfinite(r_squared());
}

void FitStatistic::print(std::ostream& console) const {
    if (n_ < 1) return;
    if (!defined()) {
        console << "Correlation: undefined\n";
        return;
    }
    console << "Correlation: " << real_text(r_squared()) << '\n';
}

}  // namespace kelmora
