// A site made ready for timing single sub-steps: initialised in a scratch
// directory from a generated forcing of two records (a night or a midday span),
// with the forcing of the span's first sub-step at hand.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "run/forcing.h"
#include "run/site.h"

namespace kelmora::bench {

enum class Light { kNight, kDay };

class BenchSite {
  public:
    // `type` 0: trees only; 1: trees and shrubs. Sub-step of 10 s.
    BenchSite(int type, Light light);
    ~BenchSite();
    BenchSite(const BenchSite&) = delete;
    BenchSite& operator=(const BenchSite&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return site_->error_text; }
    Site& site() { return *site_; }
    const ForcingRecord& forcing() const { return forcing_; }

    // One whole sub-step in the time loop's order; false when a component fails.
    bool substep();

  private:
    std::filesystem::path dir_;
    std::unique_ptr<Site> site_;
    ForcingRecord forcing_;
    bool ready_ = false;
};

}  // namespace kelmora::bench
