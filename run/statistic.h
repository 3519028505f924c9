// Goodness of fit between the observed and the simulated net ecosystem
// production: the square of their correlation coefficient.
#pragma once

#include <iosfwd>

namespace kelmora {

class FitStatistic {
  public:
    void add(double observed, double simulated);
    int count() const { return static_cast<int>(n_); }
    // False with fewer than two pairs, without variance in either series or
    // when the result is not finite.
    bool defined() const;
    double r_squared() const;
    // "Correlation: <r2>" or "Correlation: undefined"; nothing without any pair.
    void print(std::ostream& console) const;

  private:
    double n_ = 0, so_ = 0, ss_ = 0, soo_ = 0, sss_ = 0, sos_ = 0;
    // A series without variance is told exactly, not from rounded sums.
    double first_o_ = 0, first_s_ = 0;
    bool o_varies_ = false, s_varies_ = false;
};

}  // namespace kelmora
