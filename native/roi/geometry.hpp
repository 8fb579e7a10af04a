// Point location in polygonal areas, deciding every boundary case as GEOS
// does, for the region filter's native route. Pure C++: no Python here, so
// that it can be tested and fuzzed on its own. Built with -ffp-contract=off:
// a fused multiply-add would change boundary decisions.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace xgeom {

// ---- Orientation of three points ------------------------------------------------------

// What orientation() gives when it leaves the decision to the caller.
constexpr int kUndecided = 2;

// Orientation of q relative to the segment a->b: 1 left, -1 right, 0 on its line,
// or kUndecided.
int orientation(double ax, double ay, double bx, double by, double qx, double qy);

// Its parts: the double-precision filter (1, -1, 0 or kUndecided), the exact
// sign by floating-point expansions, and GEOS's double-double sign.
int filtered_orientation(double ax, double ay, double bx, double by, double qx, double qy);
int exact_orientation(double ax, double ay, double bx, double by, double qx, double qy);
int dd_orientation(double p1x, double p1y, double p2x, double p2y, double qx, double qy);

// Coordinates whose differences and products stay clear of underflow and
// overflow, so that the sign computations above are exact.
inline bool usable(double v) {
    double a = std::fabs(v);
    return a == 0.0 || (a >= 1e-100 && a <= 1e100);
}

// ---- Rings ------------------------------------------------------------------------------

enum Location : int { kExterior = 0, kInterior = 1, kBoundary = 2, kUnknown = 3 };

// A closed ring of vertices (the last repeats the first, as GEOS keeps it).
// Rings with many edges also get an index of horizontal bands: each band
// lists the edges whose y-span meets it, so that locating a point walks only
// the edges of its band instead of all of them.
class Ring {
public:
    // Rings with fewer edges are walked whole: a band lookup would cost more
    // than it saves.
    static constexpr size_t kIndexMinEdges = 16;

    // Takes n vertices x0 y0 x1 y1 ... as given. False, leaving the ring
    // empty, when a coordinate is outside the range the predicates cover.
    bool assign(const double* xy, size_t n);

    bool empty() const { return xy_.empty(); }
    size_t vertices() const { return xy_.size() / 2; }
    const double* xy() const { return xy_.data(); }
    bool covers(double x, double y) const { return x >= minx && x <= maxx && y >= miny && y <= maxy; }

    size_t bands() const { return bands_; }
    // The band of a y inside the ring's envelope.
    size_t band_of(double y) const {
        size_t k = (size_t)((y - miny) * band_scale_);
        return k < bands_ ? k : bands_ - 1;
    }
    // The lower border of band k, as a y for which band_of gives k (or k - 1
    // where rounding puts it there).
    double band_floor(size_t k) const { return miny + (double)k / band_scale_; }

    double minx = INFINITY, miny = INFINITY, maxx = -INFINITY, maxy = -INFINITY;

private:
    friend Location locate_in_ring(const Ring&, double, double);
    void build_index(size_t bands);

    std::vector<double> xy_;
    size_t bands_ = 0;  // 0: no index
    double band_scale_ = 0.0;
    std::vector<uint32_t> band_start_;  // bands_ + 1 offsets into band_edges_
    std::vector<uint32_t> band_edges_;  // edge i joins vertex i - 1 to vertex i
};

// Ray crossing to the right of the point with the half-open rule for
// vertices; a point on a vertex or an edge is on the boundary; kUnknown when
// an orientation stays undecided. Uses the ring's band index when it has one.
Location locate_in_ring(const Ring& ring, double px, double py);

// The same walking every edge: what the index must reproduce.
Location locate_in_ring_plain(const Ring& ring, double px, double py);

// ---- Polygonal areas --------------------------------------------------------------------

struct Part {
    Ring shell;
    std::vector<Ring> holes;
};

// A polygon or multipolygon.
struct Area {
    std::vector<Part> parts;
    double minx = INFINITY, miny = INFINITY, maxx = -INFINITY, maxy = -INFINITY;

    // Adds a part with a non-empty shell, widening the envelope.
    void add(Part&& part);
};

// GEOS versions locate points in areas in three ways that differ only for
// invalid geometry or at points where parts touch; kUnknown where they differ.
Location locate_in_area(const Area& area, double px, double py);

}  // namespace xgeom
