// libFuzzer target for the geometry kernel: rings and points built from the
// input, located through the band index and by the plain walk, which must
// agree; areas with holes are located too. Any crash or sanitizer report is
// a finding.
//
//   make fuzz-geometry [FUZZ_SECONDS=20]
#include "roi/geometry.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace xgeom;

namespace {

// Reads the input as a stream of bytes, starting over at its end, so that
// short inputs still give rings long enough to be indexed.
struct Stream {
    const uint8_t* data;
    size_t size, pos = 0;

    uint8_t byte() {
        if (size == 0)
            return 0;
        uint8_t b = data[pos % size];
        ++pos;
        return b;
    }
    template <typename T>
    T raw() {
        unsigned char bytes[sizeof(T)];
        for (unsigned char& b : bytes)
            b = byte();
        T v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
};

// One coordinate in the way `mode` picks: a coarse grid (horizontal edges,
// collinear runs, shared vertices), float32 values as regions hold them, raw
// doubles, or a few units in the last place around 0.1 (near-collinear,
// where the orientation filter gives up).
double coordinate(Stream& in, int mode) {
    switch (mode) {
        case 0:
            return (in.byte() % 17) / 8.0;
        case 1:
            return (double)in.raw<float>();
        case 2:
            return in.raw<double>();
        default: {
            double v = 0.1;
            for (int steps = in.byte() % 8; steps > 0; --steps)
                v = std::nextafter(v, 1.0);
            return v + (in.byte() % 4) * 0.125;
        }
    }
}

Ring make_ring(Stream& in, int mode, size_t n, bool& ok) {
    std::vector<double> xy;
    for (size_t i = 0; i < n; ++i) {
        xy.push_back(coordinate(in, mode));
        xy.push_back(coordinate(in, mode));
    }
    xy.push_back(xy[0]);
    xy.push_back(xy[1]);
    Ring ring;
    ok = ring.assign(xy.data(), n + 1);
    return ring;
}

void same_location(const Ring& ring, double x, double y) {
    if (locate_in_ring(ring, x, y) != locate_in_ring_plain(ring, x, y))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    Stream in{data, size};
    int mode = in.byte() % 4;
    size_t n = Ring::kIndexMinEdges + in.byte() % 128;
    bool ok = false;
    Ring ring = make_ring(in, mode, n, ok);
    if (!ok)
        return 0;
    const double* v = ring.xy();
    // Vertices, points on and just off edges, band borders, and input points.
    for (size_t i = 0; i + 1 < ring.vertices(); ++i) {
        double ax = v[2 * i], ay = v[2 * i + 1], bx = v[2 * i + 2], by = v[2 * i + 3];
        same_location(ring, ax, ay);
        same_location(ring, ax + 0.5 * (bx - ax), ay + 0.5 * (by - ay));
        same_location(ring, std::nextafter(ax, INFINITY), ay);
        same_location(ring, ax, std::nextafter(ay, -INFINITY));
        same_location(ring, bx + 2.0 * (ax - bx), ay);
    }
    for (size_t k = 0; k <= ring.bands(); ++k) {
        double y = ring.band_floor(k);
        for (double yy : {y, std::nextafter(y, INFINITY), std::nextafter(y, -INFINITY)}) {
            same_location(ring, v[2 * (k % ring.vertices())], yy);
            same_location(ring, coordinate(in, mode), yy);
        }
    }
    for (int j = 0; j < 64; ++j)
        same_location(ring, coordinate(in, mode), coordinate(in, mode));

    // The same ring as the shell of an area with a hole, and as a second part.
    Area area;
    Part part;
    bool hole_ok = false;
    part.holes.push_back(make_ring(in, mode, 4 + in.byte() % 40, hole_ok));
    if (!hole_ok)
        part.holes.clear();
    part.shell = ring;
    Part again;
    again.shell = ring;
    area.add(std::move(part));
    area.add(std::move(again));
    for (int j = 0; j < 32; ++j) {
        Location loc = locate_in_area(area, coordinate(in, mode), coordinate(in, mode));
        if (loc < kExterior || loc > kUnknown)
            std::abort();
    }

    // Decided orientations are the exact ones.
    for (size_t i = 0; i + 2 < ring.vertices(); ++i) {
        int s = orientation(v[2 * i], v[2 * i + 1], v[2 * i + 2], v[2 * i + 3], v[2 * i + 4], v[2 * i + 5]);
        if (s != kUndecided &&
            s != exact_orientation(v[2 * i], v[2 * i + 1], v[2 * i + 2], v[2 * i + 3], v[2 * i + 4], v[2 * i + 5]))
            std::abort();
    }
    return 0;
}
