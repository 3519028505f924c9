// The radiation transfer's step through a layer's sub-layers. Shared with the
// benchmarks' floor, which runs the same chain.
#pragma once

#include <algorithm>

namespace kelmora {

// Sub-layers of a lit layer with leaf and stem area indices `l` and `s` (not
// negative): thin enough that none holds more than 0.1 of area index, at least 10.
inline int sublayers(double l, double s) {
    return std::max(10, static_cast<int>(std::max(l, s) / 0.1 + 1.0));
}

// One linear pass of a stream through `n` sub-layers: each sub-layer absorbs the
// fraction `fa` and reflects `fr` of what reaches it; the reflected part joins
// the opposite stream at once. The absorbed parts add to `net` and `absorbed`.
// The streams and sums are carried in locals so that the sub-layer chain stays
// in registers; the additions are the same, in the same order.
inline void pass(int n, double fa, double fr, double& stream_io, double& opposite_io,
                 double& net_io, double& absorbed_io) {
    double stream = stream_io;
    double opposite = opposite_io;
    double net = net_io;
    double absorbed = absorbed_io;
    for (int i = 0; i < n; ++i) {
        const double a = stream * fa;
        const double r = stream * fr;
        stream -= a + r;
        net += a;
        absorbed += a;
        opposite += r;
    }
    stream_io = stream;
    opposite_io = opposite;
    net_io = net;
    absorbed_io = absorbed;
}

}  // namespace kelmora
