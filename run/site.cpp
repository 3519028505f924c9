#include "run/site.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <span>

#include "run/interrupt.h"
#include "run/statistic.h"

namespace kelmora {

Site::Site() {
    tree.is_shrub = false;
    tree._ztop = 20.0;
    tree._zbot = 5.0;
    shrub.is_shrub = true;
    shrub._ztop = 1.5;
    shrub._zbot = 0.2;
}

namespace {

// The site file's header lines have no blank after '#'.
constexpr std::string_view kSiteHeaders =
    "#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
    "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n"
    "#Letent heat flux (W m-2)\n";

}  // namespace

ParamFile Site::parameters() {
    ParamFile file{.column = 11};
    file.keys = {
        {"_type", &_type, {0, 1}, "site type (0: no shrub; 1: has shrub)", ": Bad site type."},
        {"_restart", &_restart, kUnchecked, "restart (1) from previous run or new start (0)"},
        {"_dt", &_dt, {1}, "time step (s) to run model", ": Bad time step."},
        {"_zref",
         &_zref,
         {1.0},
         "reference height of measurements above canopy (m)",
         ": Bad site reference height."},
        {"_physics",
         &_physics,
         {0, 1},
         "physics (0: as designed; 1: energy-conserving, stable leaf temperatures)",
         ": Bad physics option."},
    };
    return file;
}

Failure Site::read_parameters(const std::string& path) {
    return read_parameter_file(path, parameters());
}

Failure Site::write_parameters(const std::string& path) {
    return write_parameter_file(path, parameters());
}

bool Site::init(const std::string& path) {
    if (records.empty()) return fail("Empty input data.");
    out_path = path;
    if (!out_path.empty() && out_path.back() != '/' && out_path.back() != '\\') out_path += '/';
    if (Failure failure = lock.lock(out_path)) return fail(failure);
    if (Failure failure = read_parameters(out_path + "site.par")) return fail(failure);
    sums = {};
    notes.clear();
    // Every component reads its parameters and, on a restart, its record line
    // of the previous output; only when all are whole, end at the same time and
    // fit the forcing is any output file changed, so a failed restart can be
    // tried again.
    RestartFiles earlier;
    if (_restart != 0) {
        std::vector<std::string> paths = output_paths();
        // The shrub layer of a site without one is never stepped: its files hold no state.
        if (!has_shrub()) paths.erase(paths.begin() + 4, paths.begin() + 8);
        if (Failure failure = earlier.read(paths)) return fail(failure);
    }
    Restart restart(&earlier);
    Restart* const site_restart = _restart != 0 ? &restart : nullptr;
    Restart* const shrub_restart = has_shrub() ? site_restart : nullptr;
    const ForcingRecord& first = records.front();
    Failure failure = tree.init(first, {out_path, site_restart, _zref, conserving()});
    if (!failure) failure = shrub.init(first, {out_path, shrub_restart, tree._zbot, conserving()});
    const Plant& low = lowest_plant();
    if (!failure) {
        failure = soil.init(first, out_path, site_restart, low._zbot, low.is_shrub, conserving());
    }
    if (!failure && site_restart) failure = check_restart(earlier, restart);
    if (failure) return fail(failure);
    // A restart whose files already end at the forcing's last record has nothing to run.
    if (records.size() < 2 && site_restart) failure = earlier.cut_back();
    if (records.size() < 2 && site_restart) return failure ? fail(failure) : true;
    failure = create_files(site_restart ? &earlier : nullptr);
    return failure ? fail(failure) : true;
}

std::vector<std::string> Site::output_paths() const {
    std::vector<std::string> paths;
    for (const char* name :
         {"tree", "tree.foliage", "tree.leaf", "tree.stem", "shrub", "shrub.foliage", "shrub.leaf",
          "shrub.stem", "soil", "root.fine", "root.coarse", "site"}) {
        paths.push_back(out_path + name + ".csv");
    }
    return paths;
}

Failure Site::check_restart(const RestartFiles& earlier, Restart& restart) {
    if (earlier.common() == 0) return "Restart: no record in " + earlier.empty_file() + ".";
    // The files that carry no state are checked like the others.
    const std::string leaves[] = {out_path + "tree.leaf.csv", out_path + "shrub.leaf.csv"};
    const std::pair<std::string, size_t> stateless[] = {
        {out_path + "site.csv", 7}, {leaves[0], 14}, {leaves[1], 14}};
    for (const auto& [path, count] : stateless) {
        if (path == leaves[1] && !has_shrub()) continue;
        if (!restart.last_line(path, count)) return "Restart: bad last line in " + path + ".";
    }
    if (Failure failure = earlier.check()) return failure;
    if (records.size() < 2) return "Restart: the forcing holds fewer than two records.";
    if (Failure failure = fit_forcing(earlier.stamp(), earlier.common())) return failure;
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i].interval % _dt != 0) return "Error: data interval and dt not compatible.";
    }
    if (earlier.dropped() > 0) {
        notes += "Restart: files cut back to " + stamp_text(earlier.stamp()) + ": " +
                 std::to_string(earlier.dropped()) + " records dropped in " +
                 std::to_string(earlier.changed()) + " files.\n";
    }
    return {};
}

Failure Site::fit_forcing(TimeStamp end, size_t held) {
    const auto at_end = [&](const ForcingRecord& r) { return r.stamp() == end; };
    const TimeStamp start = records.front().stamp();
    // A forcing that starts one record interval after the files' end continues
    // them (a year cycled for a spin-up starts again at day 1).
    const bool follows = seconds_since(end, start) == records[1].interval;
    auto from = records.end();
    if (held < records.size() && at_end(records[held]) && (held + 1 < records.size() || !follows)) {
        // The forcing that made the files from its start: it continues where they end.
        from = records.begin() + static_cast<std::ptrdiff_t>(held);
    } else if (follows) {
        return {};
    } else {
        from = std::find_if(records.begin(), records.end(), at_end);
    }
    if (from == records.end()) {
        return "Forcing does not fit the restart: the output files end at " + stamp_text(end) +
               ", the forcing starts at " + stamp_text(start) + " and does not hold that time.";
    }
    const size_t passed = static_cast<size_t>(from - records.begin());
    if (passed == 0) return {};
    records.erase(records.begin(), from);
    records.front().interval = 0;
    if (records.size() < 2) {
        notes += "Restart: the output files end at the forcing's last record, " + stamp_text(end) +
                 "; nothing to run.\n";
    } else {
        notes += "Restart: continuing from " + stamp_text(end) + "; " + std::to_string(passed) +
                 " records of the forcing passed over.\n";
    }
    return {};
}

Failure Site::create_files(const RestartFiles* earlier) {
    const std::vector<std::string> paths = output_paths();
    if (earlier) {
        if (Failure failure = earlier->cut_back()) return failure;
        // The earlier records stay, as the next free part of each file.
        for (const std::string& path : paths) {
            if (!holds_data(path)) continue;
            int n = 1;
            std::error_code ec;
            while (
                std::filesystem::exists(std::filesystem::symlink_status(part_path(path, n), ec))) {
                ++n;
            }
            if (std::rename(path.c_str(), part_path(path, n).c_str()) != 0) {
                return "Failed to write " + part_path(path, n);
            }
        }
    }
    // Every file is opened before the first one is emptied.
    const std::string csv = out_path + "site.csv";
    Failure failure = output.create(csv, kSiteHeaders, "Failed to open " + csv);
    if (!failure) failure = tree.open_output();
    if (!failure) failure = shrub.open_output();
    if (!failure) failure = soil.open_output();
    if (failure) return failure;
    // A new series: the parts of an earlier one would join it.
    std::error_code ec;
    for (const std::string& path : paths) {
        for (int n = 1; !earlier && std::filesystem::remove(part_path(path, n), ec); ++n) {
        }
    }
    for (OutputFile* file : output_files()) {
        if (Failure f = file->start()) return f;
    }
    return {};
}

std::array<OutputFile*, Site::kOutputFiles> Site::output_files() {
    return {&tree.output,  &tree.foliage.output,  &tree.foliage.leaf.output,  &tree.stem.output,
            &shrub.output, &shrub.foliage.output, &shrub.foliage.leaf.output, &shrub.stem.output,
            &soil.output,  &soil.fine.output,     &soil.coarse.output,        &output};
}

Failure Site::finish_record(const ForcingRecord& record, bool day_ends) {
    const auto files = output_files();
    bool large = false;
    for (const OutputFile* file : files) {
        if (file->finite()) continue;
        for (OutputFile* f : files) f->drop_record();
        return "Numerical failure at " + stamp_text(record.stamp()) + " in " + file->path();
    }
    for (OutputFile* file : files) {
        file->keep_record();
        large = large || file->waiting() > kBlockSize;
    }
    return day_ends || large ? write_blocks() : Failure{};
}

Failure Site::write_blocks() {
    const auto files = output_files();
    for (OutputFile* file : files) {
        if (Failure failure = file->write_block()) {
            for (OutputFile* f : files) f->cut_back();
            return failure;
        }
    }
    for (OutputFile* file : files) file->mark_complete();
    return {};
}

bool Site::stop(const Failure& failure) {
    for (OutputFile* file : output_files()) file->drop_record();
    const Failure written = write_blocks();
    return fail(written ? written : failure);
}

namespace {

// What the lowest plant layer hands to the soil.
SoilInput soil_input(const Plant& p, double litter) {
    return {p.radiation.vis_out_down,
            p.radiation.ir_out_down,
            p.t12,
            p.q12,
            p.throughfall(),
            p.aero.ub,
            p.aero.u12,
            p._zbot,
            p.is_shrub,
            litter};
}

// The leaf and stem litter of a plant layer, kgC m-2.
double litter(const Plant& p) {
    return p.foliage._litter + p.stem._litter;
}

// What a plant layer hands to the soil at the end of the sub-step: its
// transpiration and its leaf's net assimilation shared out to the roots.
PlantUptake uptake(const Plant& p) {
    const Leaf& leaf = p.foliage.leaf;
    const double net = leaf.gross_production - leaf.dark_respiration;
    return {p.interception.transpiration, net * (p._alloc3 / p.alloc_sum()),
            net * (p._alloc4 / p.alloc_sum())};
}

// 2 x 2 matrices, rows and columns temperature and humidity.
using Matrix = std::array<double, 4>;

NodeChange times(const Matrix& m, NodeChange v) {
    return {m[0] * v.t + m[1] * v.q, m[2] * v.t + m[3] * v.q};
}
NodeChange plus(NodeChange a, NodeChange b) {
    return {a.t + b.t, a.q + b.q};
}
Matrix times(const Matrix& a, const Matrix& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}
// The inverse of I - m.
Matrix inverse_of_rest(const Matrix& m) {
    const double a = 1 - m[0], b = -m[1], c = -m[2], d = 1 - m[3];
    const double det = a * d - b * c;
    return {d / det, -b / det, -c / det, a / det};
}

// A node whose partner below follows it, below = c + s * node: the node's
// response with the partner below folded in, node = base + up * change above.
NodeResponse fold_below(const NodeResponse& r, NodeChange c, const Matrix& s) {
    const Matrix rest = inverse_of_rest(times(r.low, s));
    return {times(rest, plus(r.base, times(r.low, c))), times(rest, r.up), {}};
}

}  // namespace

void Site::settle_air_nodes(const ForcingRecord& f, double dt) {
    // The soil's top layer follows the lowest air node: ground = c + s * node.
    Matrix s;
    const NodeChange c = soil.response(dt, s);
    if (!has_shrub()) {
        NodeResponse a =
            fold_below(tree.prepare_b(f, dt, {f.tk, f.ea}, soil.as_partner(f.pa)), c, s);
        if (tree.refine_b(f, {}, plus(c, times(s, a.base)))) {
            a = fold_below(tree.node_response(), c, s);
        }
        tree.finish_b(f, dt, {}, plus(c, times(s, a.base)));
        soil.settle(dt, a.base);
        return;
    }
    // The shrubs' node follows the trees' (shrubs = b + U trees, the soil folded in),
    // the trees' the shrubs' (trees = a + L shrubs): (I - L U) trees = a + L b.
    NodeResponse a = tree.prepare_b(f, dt, {f.tk, f.ea}, shrub.as_partner(f.pa));
    NodeResponse b =
        fold_below(shrub.prepare_b(f, dt, tree.air(f.pa), soil.as_partner(f.pa)), c, s);
    NodeChange trees;
    NodeChange shrubs;
    const auto chain = [&] {
        trees = times(inverse_of_rest(times(a.low, b.up)), plus(a.base, times(a.low, b.base)));
        shrubs = plus(b.base, times(b.up, trees));
    };
    chain();
    const bool refined_trees = tree.refine_b(f, {}, shrubs);
    if (shrub.refine_b(f, trees, plus(c, times(s, shrubs))) || refined_trees) {
        a = tree.node_response();
        b = fold_below(shrub.node_response(), c, s);
        chain();
    }
    tree.finish_b(f, dt, {}, shrubs);
    shrub.finish_b(f, dt, trees, plus(c, times(s, shrubs)));
    soil.settle(dt, shrubs);
}

Failure Site::substep(const ForcingRecord& f) {
    const double dt = _dt;
    // Step A, from the top down. The trees see the sky above and, below, the
    // shrubs' upward streams of the previous sub-step or the soil; the shrubs see
    // the trees' downward streams, wind, air and throughfall of this sub-step.
    // Both see the soil's state of the previous sub-step.
    const double soil_t = soil.ts;
    const double soil_fw = soil.fw;
    const double soil_water = soil.available;
    const Streams sky{0.46 * f.sw_in, 0.54 * f.sw_in + f.lw_in};
    const Streams below_tree =
        has_shrub() ? shrub.upward() : soil.upward(tree.radiation.vis_out_down);
    const LayerInput tree_in{f.wind,     f.tk,   f.precip_rate, sky,
                             below_tree, soil_t, soil_fw,       soil_water};
    if (Failure failure = tree.step_a(f, dt, tree_in)) return failure;
    if (has_shrub()) {
        const LayerInput in{tree.aero.ub,
                            tree.t12,
                            tree.throughfall(),
                            tree.downward(),
                            soil.upward(shrub.radiation.vis_out_down),
                            soil_t,
                            soil_fw,
                            soil_water};
        if (Failure failure = shrub.step_a(f, dt, in)) return failure;
    }
    const double floor_litter = litter(tree) + (has_shrub() ? litter(shrub) : 0);
    soil.step_a(f, dt, soil_input(lowest_plant(), floor_litter));
    // Step B, from the top down: each air node with the air above it as just
    // updated and the air node or surface below it.
    const Partner below_tree_air = has_shrub() ? shrub.as_partner(f.pa) : soil.as_partner(f.pa);
    if (conserving()) {
        settle_air_nodes(f, dt);
    } else {
        tree.step_b(f, dt, {f.tk, f.ea}, below_tree_air);
        if (has_shrub()) shrub.step_b(f, dt, tree.air(f.pa), soil.as_partner(f.pa));
    }
    const PlantUptake plants[2] = {uptake(tree), uptake(shrub)};
    soil.step_b(f, dt, std::span(plants, has_shrub() ? 2 : 1));
    return {};
}

void Site::write_output(const ForcingRecord& record) {
    tree.write_output(record, sums);
    if (has_shrub()) shrub.write_output(record, sums);
    soil.write_output(record, sums);
}

void Site::write_line(const ForcingRecord& record) {
    output.write_means(record, {&sums.gpp, &sums.resp, &sums.sensible, &sums.latent});
}

bool Site::run(std::ostream& console) {
    const size_t count = records.size();
    if (count < 2) return true;
    int32_t last_day = -1;
    FitStatistic correlation;
    for (size_t i = 1; i < count; ++i) {
        const ForcingRecord& prev = records[i - 1];
        ForcingRecord& cur = records[i];
        if (const int signal = interruption()) {
            interrupted = signal;
            const bool none = i == 1 && _restart == 0;
            return stop(none ? "Interrupted before the first record; run again to start."
                             : "Interrupted after " + stamp_text(prev.stamp()) +
                                   "; run again with _restart 1 to continue.");
        }
        if (prev.day != last_day) {
            console << "day " << prev.day << std::endl;  // progress shows as it goes
            last_day = prev.day;
        }
        cur.substeps = 0;
        if (cur.interval % _dt != 0) return stop("Error: data interval and dt not compatible.");
        for (int32_t m = 0; m < cur.interval; m += _dt) {
            ++cur.substeps;
            if (Failure failure = substep(forcing(i, _dt * 0.5 + m))) {
                return stop(failure);
            }
        }
        write_output(cur);
        // The pair is taken before the site's line clears the sums.
        if (std::fabs(cur.nep_obs) < 999.9) {
            correlation.add(cur.nep_obs, (sums.gpp - sums.resp) / cur.substeps);
        }
        write_line(cur);
        const bool day_ends = i + 1 == count || records[i + 1].day != cur.day;
        if (Failure failure = finish_record(cur, day_ends)) return stop(failure);
    }
    correlation.print(console);
    return true;
}

}  // namespace kelmora
