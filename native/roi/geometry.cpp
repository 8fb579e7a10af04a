#include "roi/geometry.hpp"

#include <algorithm>
#include <limits>

namespace xgeom {

// ---- Orientation --------------------------------------------------------------------------
//
// GEOS locates a point in a ring by counting ray crossings, with the sign of
// each crossing segment's orientation towards the point taken from a
// double-precision filter and, when the filter cannot decide, from
// double-double arithmetic. Here the filter is the same; where it cannot
// decide, the exact sign (floating-point expansions) is taken only when the
// double-double result agrees with it for both segment directions GEOS
// versions have used, and otherwise the decision is left to the caller.

namespace {

constexpr double kSplitter = 134217729.0;  // 2^27 + 1

inline int sign_of(double v) { return (v > 0.0) - (v < 0.0); }

inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    double bv = s - a;
    double av = s - bv;
    e = (a - av) + (b - bv);
}

inline void two_diff(double a, double b, double& d, double& e) {
    d = a - b;
    double bv = a - d;
    double av = d + bv;
    e = (a - av) + (bv - b);
}

inline void split(double a, double& hi, double& lo) {
    double c = kSplitter * a;
    hi = c - (c - a);
    lo = a - hi;
}

inline void two_product(double a, double b, double& p, double& e) {
    p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    e = al * bl - (((p - ah * bh) - al * bh) - ah * bl);
}

// Adds b to the nonoverlapping expansion e[0..len) in place; returns the new length.
int grow_expansion(int len, double* e, double b) {
    double q = b;
    int k = 0;
    for (int i = 0; i < len; ++i) {
        double s, err;
        two_sum(q, e[i], s, err);
        q = s;
        if (err != 0.0)
            e[k++] = err;
    }
    if (q != 0.0 || k == 0)
        e[k++] = q;
    return k;
}

// GEOS's double-double arithmetic, operation for operation.
struct DoubleDouble {
    double hi, lo;
};

DoubleDouble dd_add(DoubleDouble x, DoubleDouble y) {
    double S = x.hi + y.hi;
    double T = x.lo + y.lo;
    double e = S - x.hi;
    double f = T - x.lo;
    double s = S - e;
    double t = T - f;
    s = (y.hi - e) + (x.hi - s);
    t = (y.lo - f) + (x.lo - t);
    e = s + T;
    double H = S + e;
    double h = e + (S - H);
    e = t + h;
    double zhi = H + e;
    return {zhi, e + (H - zhi)};
}

DoubleDouble dd_multiply(DoubleDouble x, DoubleDouble y) {
    double C = kSplitter * x.hi;
    double hx = C - x.hi;
    double c = kSplitter * y.hi;
    hx = C - hx;
    double tx = x.hi - hx;
    double hy = c - y.hi;
    C = x.hi * y.hi;
    hy = c - hy;
    double ty = y.hi - hy;
    c = ((((hx * hy - C) + hx * ty) + tx * hy) + tx * ty) + (x.hi * y.lo + x.lo * y.hi);
    double zhi = C + c;
    hx = C - zhi;
    return {zhi, c + hx};
}

}  // namespace

int filtered_orientation(double ax, double ay, double bx, double by, double qx, double qy) {
    double left = (ax - qx) * (by - qy);
    double right = (ay - qy) * (bx - qx);
    double det = left - right;
    double sum;
    if (left > 0.0) {
        if (right <= 0.0)
            return sign_of(det);
        sum = left + right;
    } else if (left < 0.0) {
        if (right >= 0.0)
            return sign_of(det);
        sum = -left - right;
    } else {
        return sign_of(det);
    }
    double bound = 1e-15 * sum;
    if (det >= bound || -det >= bound)
        return sign_of(det);
    return kUndecided;
}

// Exact sign of (a - q) x (b - q); the caller keeps coordinates usable().
int exact_orientation(double ax, double ay, double bx, double by, double qx, double qy) {
    double acx[2], bcy[2], acy[2], bcx[2];
    two_diff(ax, qx, acx[0], acx[1]);
    two_diff(by, qy, bcy[0], bcy[1]);
    two_diff(ay, qy, acy[0], acy[1]);
    two_diff(bx, qx, bcx[0], bcx[1]);
    double sum[40];
    int len = 0;
    for (double l : acx)
        for (double r : bcy) {
            double p, e;
            two_product(l, r, p, e);
            len = grow_expansion(len, sum, e);
            len = grow_expansion(len, sum, p);
        }
    for (double l : acy)
        for (double r : bcx) {
            double p, e;
            two_product(l, r, p, e);
            len = grow_expansion(len, sum, -e);
            len = grow_expansion(len, sum, -p);
        }
    return sign_of(sum[len - 1]);
}

int dd_orientation(double p1x, double p1y, double p2x, double p2y, double qx, double qy) {
    DoubleDouble dx1 = dd_add({p2x, 0.0}, {-p1x, 0.0});
    DoubleDouble dy1 = dd_add({p2y, 0.0}, {-p1y, 0.0});
    DoubleDouble dx2 = dd_add({qx, 0.0}, {-p2x, 0.0});
    DoubleDouble dy2 = dd_add({qy, 0.0}, {-p2y, 0.0});
    DoubleDouble m1 = dd_multiply(dx1, dy2);
    DoubleDouble m2 = dd_multiply(dy1, dx2);
    DoubleDouble d = dd_add(m1, {-1 * m2.hi, -1 * m2.lo});
    if (d.hi != 0.0)
        return sign_of(d.hi);
    return sign_of(d.lo);
}

int orientation(double ax, double ay, double bx, double by, double qx, double qy) {
    int s = filtered_orientation(ax, ay, bx, by, qx, qy);
    if (s != kUndecided)
        return s;
    int exact = exact_orientation(ax, ay, bx, by, qx, qy);
    if (dd_orientation(ax, ay, bx, by, qx, qy) != exact || -dd_orientation(bx, by, ax, ay, qx, qy) != exact)
        return kUndecided;
    return exact;
}

// ---- Rings --------------------------------------------------------------------------------

namespace {

// What one edge a->b contributes to locating (px, py): true when the point
// is on it; otherwise it may count a crossing or leave the ring undecided.
// Only edges whose y-span holds py can do anything, which the band index
// relies on. Every edge's contribution is independent of the others, so the
// edges may be visited in any order.
inline bool on_edge(double ax, double ay, double bx, double by, double px, double py, int& crossings,
                    bool& unknown) {
    if (ax < px && bx < px)
        return false;
    if (px == bx && py == by)
        return true;
    if (ay == py && by == py) {
        double lo = ax < bx ? ax : bx, hi = ax < bx ? bx : ax;
        return px >= lo && px <= hi;
    }
    if ((ay > py && by <= py) || (by > py && ay <= py)) {
        int s = orientation(ax, ay, bx, by, px, py);
        if (s == kUndecided) {
            unknown = true;
            return false;
        }
        if (s == 0)
            return true;
        if (by < ay)
            s = -s;
        if (s > 0)
            ++crossings;
    }
    return false;
}

inline Location outcome(int crossings, bool unknown) {
    if (unknown)
        return kUnknown;
    return (crossings & 1) ? kInterior : kExterior;
}

// Bands per ring: about one per two edges, as a power of two, within limits
// that keep the index small.
constexpr size_t kMaxBands = size_t(1) << 16;
// Long edges are listed in every band they span; past this many entries per
// edge on average the ring gets fewer bands.
constexpr size_t kMaxEntriesPerEdge = 8;

}  // namespace

bool Ring::assign(const double* xy, size_t n) {
    xy_.clear();
    bands_ = 0;
    band_start_.clear();
    band_edges_.clear();
    minx = miny = INFINITY;
    maxx = maxy = -INFINITY;
    for (size_t i = 0; i < 2 * n; ++i)
        if (!usable(xy[i]))
            return false;
    xy_.assign(xy, xy + 2 * n);
    for (size_t i = 0; i < n; ++i) {
        double x = xy[2 * i], y = xy[2 * i + 1];
        minx = std::fmin(minx, x);
        maxx = std::fmax(maxx, x);
        miny = std::fmin(miny, y);
        maxy = std::fmax(maxy, y);
    }
    size_t edges = n > 0 ? n - 1 : 0;
    if (edges >= kIndexMinEdges && edges <= std::numeric_limits<uint32_t>::max() && maxy > miny) {
        size_t bands = 1;
        while (bands * 4 <= edges && bands < kMaxBands)
            bands *= 2;
        build_index(bands);
    }
    return true;
}

// band_of is monotonic in y (a subtraction and a multiplication by a positive
// number, each rounded, then truncation), so an edge listed in the bands of
// its lowest and highest y and every band between is in the band of every y
// of its span, whatever the rounding.
void Ring::build_index(size_t bands) {
    size_t edges = vertices() - 1;
    const double* v = xy_.data();
    for (;;) {
        bands_ = bands;
        band_scale_ = (double)bands / (maxy - miny);
        if (!(band_scale_ > 0.0 && band_scale_ < INFINITY)) {
            bands_ = 0;
            return;
        }
        size_t entries = 0;
        for (size_t i = 1; i <= edges; ++i) {
            double ay = v[2 * i - 1], by = v[2 * i + 1];
            entries += band_of(std::fmax(ay, by)) - band_of(std::fmin(ay, by)) + 1;
        }
        if (entries <= kMaxEntriesPerEdge * edges || bands == 1) {
            if (entries > std::numeric_limits<uint32_t>::max()) {
                bands_ = 0;
                return;
            }
            break;
        }
        bands /= 2;
    }
    band_start_.assign(bands_ + 1, 0);
    for (size_t i = 1; i <= edges; ++i) {
        double ay = v[2 * i - 1], by = v[2 * i + 1];
        for (size_t k = band_of(std::fmin(ay, by)), last = band_of(std::fmax(ay, by)); k <= last; ++k)
            ++band_start_[k + 1];
    }
    for (size_t k = 0; k < bands_; ++k)
        band_start_[k + 1] += band_start_[k];
    band_edges_.resize(band_start_[bands_]);
    std::vector<uint32_t> fill(band_start_.begin(), band_start_.end() - 1);
    for (size_t i = 1; i <= edges; ++i) {
        double ay = v[2 * i - 1], by = v[2 * i + 1];
        for (size_t k = band_of(std::fmin(ay, by)), last = band_of(std::fmax(ay, by)); k <= last; ++k)
            band_edges_[fill[k]++] = (uint32_t)i;
    }
}

Location locate_in_ring_plain(const Ring& ring, double px, double py) {
    if (!ring.covers(px, py))
        return kExterior;
    const double* v = ring.xy();
    size_t n = ring.vertices();
    int crossings = 0;
    bool unknown = false;
    for (size_t i = 1; i < n; ++i)
        if (on_edge(v[2 * i - 2], v[2 * i - 1], v[2 * i], v[2 * i + 1], px, py, crossings, unknown))
            return kBoundary;
    return outcome(crossings, unknown);
}

Location locate_in_ring(const Ring& ring, double px, double py) {
    if (ring.bands_ == 0)
        return locate_in_ring_plain(ring, px, py);
    if (!ring.covers(px, py))
        return kExterior;
    const double* v = ring.xy_.data();
    size_t k = ring.band_of(py);
    const uint32_t* e = ring.band_edges_.data() + ring.band_start_[k];
    const uint32_t* end = ring.band_edges_.data() + ring.band_start_[k + 1];
    int crossings = 0;
    bool unknown = false;
    for (; e != end; ++e) {
        size_t i = *e;
        if (on_edge(v[2 * i - 2], v[2 * i - 1], v[2 * i], v[2 * i + 1], px, py, crossings, unknown))
            return kBoundary;
    }
    return outcome(crossings, unknown);
}

// ---- Areas --------------------------------------------------------------------------------

void Area::add(Part&& part) {
    minx = std::fmin(minx, part.shell.minx);
    maxx = std::fmax(maxx, part.shell.maxx);
    miny = std::fmin(miny, part.shell.miny);
    maxy = std::fmax(maxy, part.shell.maxy);
    parts.push_back(std::move(part));
}

// The three ways: shell then holes with the first part that is not exterior
// deciding, the parity of all rings together (prepared geometries), and a
// count of parts on whose boundary the point lies. The answer is kept where
// all three agree.
Location locate_in_area(const Area& area, double px, double py) {
    if (!(px >= area.minx && px <= area.maxx && py >= area.miny && py <= area.maxy))
        return kExterior;
    Location first = kExterior;
    bool first_found = false, any_ring_boundary = false, parity = false, any_part_interior = false;
    int boundary_parts = 0;
    for (const Part& part : area.parts) {
        Location shell = locate_in_ring(part.shell, px, py);
        if (shell == kUnknown)
            return kUnknown;
        any_ring_boundary |= shell == kBoundary;
        parity ^= shell == kInterior;
        Location in_part = shell;
        bool hole_decided = false;
        for (const Ring& hole : part.holes) {
            Location h = locate_in_ring(hole, px, py);
            if (h == kUnknown)
                return kUnknown;
            any_ring_boundary |= h == kBoundary;
            parity ^= h == kInterior;
            if (shell == kInterior && !hole_decided && h != kExterior) {
                in_part = h == kBoundary ? kBoundary : kExterior;
                hole_decided = true;
            }
        }
        if (in_part != kExterior && !first_found) {
            first = in_part;
            first_found = true;
        }
        boundary_parts += in_part == kBoundary;
        any_part_interior |= in_part == kInterior;
    }
    Location all_rings = any_ring_boundary ? kBoundary : parity ? kInterior : kExterior;
    Location counted = (boundary_parts & 1)                          ? kBoundary
                       : (any_part_interior || boundary_parts > 0) ? kInterior
                                                                   : kExterior;
    if (first != all_rings || first != counted)
        return kUnknown;
    return first;
}

}  // namespace xgeom
