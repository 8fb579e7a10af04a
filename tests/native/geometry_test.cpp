// The geometry kernel on its own: orientation signs, ring and area location,
// and the band index giving exactly the plain walk's answer. Exits non-zero
// on the first failing group, printing what failed.
#include "roi/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace xgeom;

namespace {

int failures = 0;

#define CHECK(cond, ...)                                             \
    do {                                                             \
        if (!(cond)) {                                               \
            ++failures;                                              \
            std::printf("%s:%d: %s: ", __FILE__, __LINE__, #cond);   \
            std::printf(__VA_ARGS__);                                \
            std::printf("\n");                                       \
        }                                                            \
    } while (0)

// A closed ring from open vertices.
Ring ring_of(std::vector<double> xy) {
    xy.push_back(xy[0]);
    xy.push_back(xy[1]);
    Ring r;
    if (!r.assign(xy.data(), xy.size() / 2))
        std::printf("ring refused\n");
    return r;
}

void orientation_signs() {
    CHECK(orientation(0, 0, 1, 0, 0.5, 1) == 1, "left");
    CHECK(orientation(0, 0, 1, 0, 0.5, -1) == -1, "right");
    CHECK(orientation(0, 0, 1, 1, 0.25, 0.25) == 0, "on the line");
    // Nearly collinear: the filter cannot tell, the exact sign can.
    double q = 0.1 + 0x1p-55;
    CHECK(filtered_orientation(0, 0, 0.3, 0.3, 0.1, q) == kUndecided, "filter decides a near-collinear point");
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int i = 0; i < 20000; ++i) {
        double ax = u(rng), ay = u(rng), bx = u(rng), by = u(rng), t = u(rng);
        // Points on and next to the segment's line, where the filter gives up.
        double qx = ax + t * (bx - ax), qy = ay + t * (by - ay);
        qy = std::nextafter(qy, i % 3 == 0 ? qy : i % 3 == 1 ? INFINITY : -INFINITY);
        int s = orientation(ax, ay, bx, by, qx, qy);
        int e = exact_orientation(ax, ay, bx, by, qx, qy);
        CHECK(s == kUndecided || s == e, "decided sign %d differs from the exact %d", s, e);
        CHECK(s == kUndecided || orientation(bx, by, ax, ay, qx, qy) == -s, "reversal does not flip the sign");
        int f = filtered_orientation(ax, ay, bx, by, qx, qy);
        CHECK(f == kUndecided || f == e, "filter sign %d differs from the exact %d", f, e);
    }
}

void ring_location() {
    Ring sq = ring_of({0, 0, 1, 0, 1, 1, 0, 1});
    struct Case {
        double x, y;
        Location want;
    } cases[] = {{0.5, 0.5, kInterior}, {0, 0, kBoundary},  {1, 0.5, kBoundary}, {0.5, 1, kBoundary},
                 {0.5, 0, kBoundary},   {1.5, 0.5, kExterior}, {-0.5, 0.5, kExterior}, {0.5, 1.5, kExterior},
                 {2, 0, kExterior},     {-1, 1, kExterior}};
    for (const Case& c : cases)
        CHECK(locate_in_ring(sq, c.x, c.y) == c.want, "(%g, %g)", c.x, c.y);
    double bad[] = {0, 0, 1e-200, 0, 1, 1, 0, 0};
    Ring r;
    CHECK(!r.assign(bad, 4) && r.empty(), "a coordinate below the usable range is taken");
    double huge[] = {0, 0, 1e200, 0, 1, 1, 0, 0};
    CHECK(!r.assign(huge, 4), "a coordinate above the usable range is taken");
    double inf[] = {0, 0, INFINITY, 0, 1, 1, 0, 0};
    CHECK(!r.assign(inf, 4), "an infinite coordinate is taken");
    CHECK(locate_in_ring(sq, NAN, 0.5) == kExterior && locate_in_ring(sq, 0.5, NAN) == kExterior, "NaN point");
}

void area_location() {
    Area a;
    Part p;
    p.shell = ring_of({0, 0, 4, 0, 4, 4, 0, 4});
    p.holes.push_back(ring_of({1, 1, 3, 1, 3, 3, 1, 3}));
    a.add(std::move(p));
    CHECK(locate_in_area(a, 0.5, 0.5) == kInterior, "between shell and hole");
    CHECK(locate_in_area(a, 2, 2) == kExterior, "inside the hole");
    CHECK(locate_in_area(a, 1, 2) == kBoundary, "on the hole");
    CHECK(locate_in_area(a, 5, 2) == kExterior, "outside the envelope");
    // Two parts touching at one vertex: GEOS versions disagree there.
    Area t;
    Part l, r;
    l.shell = ring_of({0, 0, 1, 1, 0, 2});
    r.shell = ring_of({1, 1, 2, 0, 2, 2});
    t.add(std::move(l));
    t.add(std::move(r));
    CHECK(locate_in_area(t, 1, 1) == kUnknown, "where the parts touch");
    CHECK(locate_in_area(t, 0.2, 1) == kInterior && locate_in_area(t, 1, 0.5) == kExterior, "beside the touch");
}

// Rings of the shapes the index must get right.
std::vector<double> make_ring(int kind, size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> xy;
    if (kind == 0) {  // star
        std::vector<double> angles(n);
        for (double& a : angles)
            a = u(rng) * 6.283185307179586;
        std::sort(angles.begin(), angles.end());
        for (double a : angles) {
            double r = 0.05 + 0.4 * u(rng);
            xy.push_back(0.5 + r * std::cos(a));
            xy.push_back(0.5 + r * std::sin(a));
        }
    } else if (kind == 1) {  // grid vertices: horizontal edges, collinear runs, vertices on band borders
        std::uniform_int_distribution<int> g(0, 8);
        for (size_t i = 0; i < n; ++i) {
            xy.push_back(g(rng) / 8.0);
            xy.push_back(g(rng) / 8.0);
        }
    } else if (kind == 2) {  // comb: long edges spanning the whole height
        for (size_t i = 0; i < n / 2; ++i) {
            xy.push_back((double)i / n);
            xy.push_back(i % 2 ? 1.0 : 0.0);
            xy.push_back((i + 0.5) / n);
            xy.push_back(i % 2 ? 0.0 : 1.0);
        }
        xy.push_back(1.0);
        xy.push_back(-1.0);
    } else {  // staircase of horizontal and vertical edges
        for (size_t i = 0; i < n / 2; ++i) {
            xy.push_back((double)i / n);
            xy.push_back((double)i / n);
            xy.push_back((i + 1.0) / n);
            xy.push_back((double)i / n);
        }
        xy.push_back(0.0);
        xy.push_back(0.5);
    }
    return xy;
}

void index_equals_plain() {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-0.1, 1.1);
    size_t sizes[] = {Ring::kIndexMinEdges, Ring::kIndexMinEdges + 1, 64, 200, 513, 1100};
    int indexed = 0;
    for (int kind = 0; kind < 4; ++kind)
        for (size_t n : sizes) {
            std::vector<double> open = make_ring(kind, n, rng);
            Ring ring = ring_of(open);
            indexed += ring.bands() > 0;
            std::vector<std::pair<double, double>> pts;
            const double* v = ring.xy();
            for (size_t i = 0; i + 1 < ring.vertices(); ++i) {
                double ax = v[2 * i], ay = v[2 * i + 1], bx = v[2 * i + 2], by = v[2 * i + 3];
                for (double t : {0.0, 0.5, 0.25, 1.0 / 3, 2.0, -1.0})
                    pts.push_back({ax + t * (bx - ax), ay + t * (by - ay)});
                pts.push_back({std::nextafter(ax, INFINITY), ay});
                pts.push_back({ax, std::nextafter(ay, -INFINITY)});
            }
            for (size_t k = 0; k <= ring.bands(); ++k) {  // on and next to band borders
                double y = ring.band_floor(k);
                for (double yy : {y, std::nextafter(y, INFINITY), std::nextafter(y, -INFINITY)})
                    for (int j = 0; j < 8; ++j)
                        pts.push_back({u(rng), yy});
                for (size_t i = 0; i + 1 < ring.vertices(); i += 7)
                    pts.push_back({v[2 * i], y});
            }
            for (int j = 0; j < 2000; ++j)
                pts.push_back({u(rng), u(rng)});
            for (auto [x, y] : pts) {
                Location a = locate_in_ring(ring, x, y), b = locate_in_ring_plain(ring, x, y);
                CHECK(a == b, "kind %d, %zu vertices, %zu bands: (%.17g, %.17g) indexed %d, plain %d", kind, n,
                      ring.bands(), x, y, a, b);
            }
        }
    CHECK(indexed >= 20, "only %d of 24 rings indexed", indexed);
    // A ring with every vertex at one height has nothing to index.
    std::vector<double> flat;
    for (int i = 0; i < 100; ++i) {
        flat.push_back(i);
        flat.push_back(1.0);
    }
    Ring f = ring_of(flat);
    CHECK(f.bands() == 0 && locate_in_ring(f, 50, 1) == kBoundary && locate_in_ring(f, 50, 2) == kExterior,
          "flat ring");
}

}  // namespace

int main() {
    orientation_signs();
    ring_location();
    area_location();
    index_equals_plain();
    if (failures != 0) {
        std::printf("%d checks failed\n", failures);
        return 1;
    }
    std::printf("geometry: all checks passed\n");
    return 0;
}
