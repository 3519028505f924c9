#include "bench/bench_site.h"

#include <fstream>
#include <random>

namespace kelmora::bench {

namespace fs = std::filesystem;

namespace {

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Two records half an hour apart around midnight or midday of a summer day.
std::string forcing_text(Light light) {
    if (light == Light::kNight) {
        return "185, 0, 0, 14.2, 0.35, 1.6, 0, 330, 0, 100.8, 395\n"
               "185, 0, 30, 13.9, 0.32, 1.5, 0, 328, 0, 100.8, 396\n";
    }
    return "185, 12, 0, 24.6, 1.45, 2.8, 710, 365, 0, 100.9, 382\n"
           "185, 12, 30, 25.1, 1.52, 3.0, 725, 367, 0, 100.9, 381\n";
}

}  // namespace

BenchSite::BenchSite(int type, Light light) : site_(std::make_unique<Site>()) {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("kelm-bench-" + std::to_string(rd()));
    fs::create_directories(dir_);
    write_text(dir_ / "forcing.txt", forcing_text(light));
    write_text(dir_ / "site.par", "_type " + std::to_string(type) + "\n_dt 10\n");
    if (read_forcing((dir_ / "forcing.txt").string(), site_->records)) return;
    if (!site_->init(dir_.string())) return;
    const ForcingRecord& first = site_->records[0];
    ForcingRecord& second = site_->records[1];
    second.substeps = 1;
    forcing_ = interpolate(first, second, site_->_dt * 0.5);
    ready_ = true;
}

BenchSite::~BenchSite() {
    site_.reset();  // closes every file before the directory goes
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

bool BenchSite::substep() {
    if (Failure failure = site_->substep(forcing_)) {
        site_->error_text = *failure;
        return false;
    }
    return true;
}

}  // namespace kelmora::bench
