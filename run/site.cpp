#include "run/site.h"

#include <cmath>
#include <ostream>
#include <span>

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
    // Every component reads its parameters and, on a restart, the last line of
    // its previous output; only when all are whole and end at the same time is
    // any output file emptied, so a failed restart can be tried again.
    Restart restart;
    Restart* const site_restart = _restart != 0 ? &restart : nullptr;
    // The shrub layer of a site without one is never stepped: its files hold no state.
    Restart* const shrub_restart = has_shrub() ? site_restart : nullptr;
    const ForcingRecord& first = records.front();
    Failure failure = tree.init(first, {out_path, site_restart, _zref, conserving()});
    if (!failure) failure = shrub.init(first, {out_path, shrub_restart, tree._zbot, conserving()});
    const Plant& low = lowest_plant();
    if (!failure) {
        failure = soil.init(first, out_path, site_restart, low._zbot, low.is_shrub, conserving());
    }
    if (failure) return fail(failure);
    if (!restart.aligned()) return fail("Restart files end at different times.");
    // Every file is opened before the first one is emptied.
    const std::string csv = out_path + "site.csv";
    failure = output.create(csv, kSiteHeaders, "Failed to open " + csv);
    if (!failure) failure = tree.open_output();
    if (!failure) failure = shrub.open_output();
    if (!failure) failure = soil.open_output();
    for (OutputFile* file : output_files()) {
        if (!failure) failure = file->start();
    }
    return failure ? fail(failure) : true;
}

std::array<OutputFile*, Site::kOutputFiles> Site::output_files() {
    return {&tree.output,  &tree.foliage.output,  &tree.foliage.leaf.output,  &tree.stem.output,
            &shrub.output, &shrub.foliage.output, &shrub.foliage.leaf.output, &shrub.stem.output,
            &soil.output,  &soil.fine.output,     &soil.coarse.output,        &output};
}

Failure Site::finish_record(const ForcingRecord& record) {
    const auto files = output_files();
    for (const OutputFile* file : files) {
        if (file->finite()) continue;
        return "Numerical failure at day " + std::to_string(record.day) + " hour " +
               std::to_string(record.hour) + " minute " + std::to_string(record.minute) + " in " +
               file->path();
    }
    for (OutputFile* file : files) {
        if (Failure failure = file->write_record()) {
            for (OutputFile* f : files) f->cut_back();
            return failure;
        }
    }
    for (OutputFile* file : files) file->mark_complete();
    return {};
}

namespace {

// What the lowest plant layer hands to the soil.
SoilInput soil_input(const Plant& p) {
    return {p.radiation.vis_out_down,
            p.radiation.ir_out_down,
            p.t12,
            p.q12,
            p.throughfall(),
            p.aero.ub,
            p.aero.u12,
            p._zbot,
            p.is_shrub};
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
    soil.step_a(f, dt, soil_input(lowest_plant()));
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
        if (prev.day != last_day) {
            console << "day " << prev.day << std::endl;  // progress shows as it goes
            last_day = prev.day;
        }
        cur.substeps = 0;
        if (cur.interval % _dt != 0) return fail("Error: data interval and dt not compatible.");
        for (int32_t m = 0; m < cur.interval; m += _dt) {
            ++cur.substeps;
            if (Failure failure = substep(interpolate(prev, cur, _dt * 0.5 + m))) {
                return fail(failure);
            }
        }
        write_output(cur);
        // The pair is taken before the site's line clears the sums.
        if (std::fabs(cur.nep_obs) < 999.9) {
            correlation.add(cur.nep_obs, (sums.gpp - sums.resp) / cur.substeps);
        }
        write_line(cur);
        if (Failure failure = finish_record(cur)) return fail(failure);
    }
    correlation.print(console);
    return true;
}

}  // namespace kelmora
