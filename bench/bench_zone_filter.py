"""Cost of ZoneFilter.filter_in_roi against the same work done on Shapely directly.

One frame: 100 objects (pixel boxes, half of them with an ``info`` mapping),
half of them anchored inside some include region, 4 include regions of 8 to
20 vertices and 2 exclude regions overlapping them, in a 1920x1080 frame.

Measured in the same run, repeats interleaved (order flipped every repeat),
median time per frame; ratio = kit / baseline:

- kit: ``ZoneFilter.filter_in_roi``;
- python: the reference package's filter (tests/reference/), the same
  algorithm in plain Python on Shapely (a Point per object, ``contains`` per
  region and stored overlap, ``copy.copy``, tags);
- vectorised: the bare point decisions only, with Shapely 2's
  ``contains_xy`` on prepared polygons over all anchors at once (no copies,
  no tags).

Then a grid of frames of 10 to 1000 objects over regions of 8 to 512 vertices
each (4 include, 2 exclude), the kit against the vectorised decisions, with
the kit's cost per object: the per-object cost should not grow with the
vertex count, and the kit should stay below the bare decisions.

    PYTHONPATH=src python bench/bench_zone_filter.py [--repeats N] [--grid-repeats N] [--no-grid]
"""

import argparse
import copy
import math
import os
import sys

import numpy as np
import shapely
from shapely.geometry import Point, Polygon

from _timing import header, measure, per_call, row
from xalo_sdk.constants import KEY
from xalo_sdk.roi import zone_filter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference import zone_filter as reference  # noqa: E402

WIDTH, HEIGHT = 1920, 1080


def blob(cx, cy, radius, n, rng):
    """A star-shaped region of n vertices around (cx, cy), in frame fractions."""
    angles = np.sort(rng.uniform(0, 2 * math.pi, n))
    radii = radius * rng.uniform(0.7, 1.0, n)
    return [(float(cx + r * math.cos(a)), float(cy + r * math.sin(a))) for a, r in zip(angles, radii)]


def regions(rng, vertices=None):
    """4 include regions of 8-20 vertices (or all of `vertices`) and 2 exclude regions overlapping them."""
    out = []
    for i, (cx, cy, n) in enumerate(((0.25, 0.3, 8), (0.7, 0.3, 12), (0.3, 0.72, 16), (0.72, 0.7, 20))):
        out.append({"points": blob(cx, cy, 0.17, vertices or n, rng), "include": True, "roi_id": f"r{i}",
                    "label": f"zone {i}"})
    out.append({"points": blob(0.25, 0.45, 0.08, vertices or 10, rng), "include": False, "roi_id": "x0"})
    out.append({"points": blob(0.72, 0.52, 0.08, vertices or 10, rng), "include": False, "roi_id": "x1"})
    return out


class Detection:
    def __init__(self, tlwh, info=None):
        self.tlwh = tlwh
        if info is not None:
            self.info = info


def detections(zf, rng, count=100):
    """count boxes, half of them anchored in some include region."""
    polys = [e["shapely_polygon"] for e in zf._included_rois]
    inside, outside = [], []
    while len(inside) < count // 2 or len(outside) < count - count // 2:
        cx, cy = rng.uniform(0.02, 0.98, 2)
        hit = any(p.contains(Point(cx, cy)) for p in polys)
        (inside if hit else outside).append((cx, cy))
    anchors = inside[: count // 2] + outside[: count - count // 2]
    out = []
    for k, (cx, cy) in enumerate(anchors):
        w, h = float(rng.uniform(20, 120)), float(rng.uniform(40, 200))
        tlwh = [cx * WIDTH - w / 2, cy * HEIGHT - h / 2, w, h]
        out.append(Detection(tlwh, {"score": 0.9}) if k % 2 else Detection(tlwh))
    return out


def vectorised_decisions(zf, frame):
    """Which include regions keep each anchor, with contains_xy on prepared geometry."""
    # Copies, so that the filter's own geometries (and the plain route) stay unprepared.
    twin = lambda g: shapely.from_wkb(shapely.to_wkb(g))
    polys = [twin(e["shapely_polygon"]) for e in zf._included_rois]
    overlaps = [[twin(g) for g in zf._exclusion_intersections[id(e)]] for e in zf._included_rois]
    shapely.prepare(polys + [g for gs in overlaps for g in gs])

    def decide():
        boxes = np.array([d.tlwh for d in frame], dtype=np.float64)
        xs = (boxes[:, 0] + boxes[:, 2] * 0.5) / WIDTH
        ys = (boxes[:, 1] + boxes[:, 3] * 0.5) / HEIGHT
        keep = []
        for poly, geoms in zip(polys, overlaps):
            inside = shapely.contains_xy(poly, xs, ys)
            for g in geoms:
                inside &= ~shapely.contains_xy(g, xs, ys)
            keep.append(inside)
        return np.stack(keep, 1)

    return decide


def fastest(kit, bare, repeats, budget_ns=2e6):
    """Fastest batch of each, interleaved: on a loaded machine the minimum is the steadier figure."""
    n = max(1, int(budget_ns // max(per_call(bare, 3), 1.0)))
    kit_t, bare_t = [], []
    for r in range(repeats):
        for fn, sink in ((kit, kit_t), (bare, bare_t)) if r % 2 == 0 else ((bare, bare_t), (kit, kit_t)):
            sink.append(per_call(fn, n))
    return min(kit_t), min(bare_t)


def grid(repeats):
    """Kit against the vectorised decisions over frame sizes and vertex counts."""
    counts, sizes = (10, 100, 1000), (8, 32, 64, 128, 512)
    print("\ngrid: kit / contains_xy decisions (ratio), kit ns per object (fastest of the repeats)")
    print(f"{'objects':>8} " + " ".join(f"{f'{n} vertices':>22}" for n in sizes))
    per_object = {}
    for count in counts:
        cells = []
        for n in sizes:
            rng = np.random.default_rng(11 + n)
            zf = zone_filter.ZoneFilter(regions(rng, n), (WIDTH, HEIGHT))
            frame = detections(zf, rng, count)
            vector = vectorised_decisions(zf, frame)
            assert int(vector().any(1).sum()) == len(zf.filter_in_roi(frame))
            kit_ns, bare_ns = fastest(lambda: zf.filter_in_roi(frame), vector, repeats)
            per_object[count, n] = kit_ns / count
            cells.append(f"{kit_ns / bare_ns:7.3f} {kit_ns / count:8.0f} ns")
        print(f"{count:8d} " + " ".join(f"{c:>22}" for c in cells))
    for count in counts:
        print(f"{count} objects: per-object cost at {sizes[-1]} vertices / at {sizes[0]}: "
              f"{per_object[count, sizes[-1]] / per_object[count, sizes[0]]:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=41)
    parser.add_argument("--grid-repeats", type=int, default=11)
    parser.add_argument("--no-grid", action="store_true")
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    given = regions(rng)
    plain = reference.ZoneFilter(copy.deepcopy(given), (WIDTH, HEIGHT))
    zf = zone_filter.ZoneFilter(given, (WIDTH, HEIGHT))
    frame = detections(zf, rng)
    vector = vectorised_decisions(zf, frame)

    kit_out = zf.filter_in_roi(frame)
    tags = lambda out: [(getattr(o, "roi_id", None), getattr(o, "info", {}).get(KEY.ROI_ID)) for o in out]
    assert tags(kit_out) == tags(plain.filter_in_roi(frame)) and len(kit_out) == 50
    assert int(vector().any(1).sum()) == len(kit_out)

    print(f"one frame: {len(frame)} objects, {len(kit_out)} of them pass; "
          "4 include regions (8-20 vertices), 2 exclude regions")
    header(40)
    kit = lambda: zf.filter_in_roi(frame)
    row("filter_in_roi vs plain Python/Shapely", *measure(kit, lambda: plain.filter_in_roi(frame), args.repeats), 40)
    row("filter_in_roi vs contains_xy decisions", *measure(kit, vector, args.repeats), 40)
    if not args.no_grid:
        grid(args.grid_repeats)


if __name__ == "__main__":
    main()
