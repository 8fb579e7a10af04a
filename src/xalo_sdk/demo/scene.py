"""Synthetic camera scene of the demo and the drawing of its annotated frame.

Nothing here talks to Redis: the producer takes frames and detections from
`Scene`, the consumer draws what the region filter decided with `annotate`.
"""

import cv2
import numpy as np

# Regions in fractions of the frame width and height, so that they fit any
# --size; the filter receives the frame size and divides pixel anchors by it.
REGIONS = [
    {"roi_id": "lane-a", "label": "Lane A", "include": True,
     "points": [[0.04, 0.12], [0.46, 0.08], [0.44, 0.94], [0.06, 0.90]]},
    {"roi_id": "lane-b", "label": "Lane B", "include": True,
     "points": [[0.54, 0.10], [0.96, 0.14], [0.94, 0.92], [0.52, 0.95]]},
    # Overlaps the lower right of Lane B: objects standing there do not count
    # for Lane B.
    {"roi_id": "kiosk", "label": "Kiosk (excluded)", "include": False,
     "points": [[0.66, 0.42], [0.99, 0.42], [0.99, 0.72], [0.66, 0.72]]},
]

# Objects are judged by the middle of their bottom edge: where they stand.
ANCHOR = (0.5, 1.0)

# Where the loitering object's anchor stays (fractions, corners top left and
# bottom right): inside both Lane B and the kiosk, clear of their edges.
LOITER = ((0.71, 0.48), (0.89, 0.66))

_REGION_COLOURS = {"lane-a": (200, 140, 40), "lane-b": (60, 170, 60), "kiosk": (40, 40, 220)}
_KINDS = (("person", (0.06, 0.20), (90, 200, 250)), ("cart", (0.14, 0.12), (230, 120, 170)))


class Scene:
    """Boxes that move and bounce over a textured background, with detections."""

    def __init__(self, width, height, objects, seed=7):
        self.width, self.height = width, height
        rng = np.random.default_rng(seed)
        self._rng = rng
        yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
        shade = 70 + 25 * np.sin(xx / 41.0) * np.cos(yy / 29.0) + 30 * yy / height
        # Blurred noise: a surface to look at that still compresses well, so
        # that the payload stays small.
        noise = cv2.GaussianBlur(rng.normal(0, 14, (height, width)).astype(np.float32), (0, 0), 3)
        base = np.clip(shade + noise, 0, 255).astype(np.uint8)
        self._background = cv2.merge([base, (base * 0.95).astype(np.uint8), (base * 0.85).astype(np.uint8)])
        step = max(8, width // 16)
        for x in range(0, width, step):
            cv2.line(self._background, (x, 0), (x, height), (95, 95, 95), 1)
        for y in range(0, height, step):
            cv2.line(self._background, (0, y), (width, y), (95, 95, 95), 1)
        self._objects = []
        for i in range(objects):
            label, (fw, fh), colour = _KINDS[i % len(_KINDS)]
            w, h = max(4.0, fw * width), max(4.0, fh * height)
            self._objects.append({
                "track_id": i + 1, "label": label, "colour": colour, "w": w, "h": h,
                # Spread over the width, so that every region sees traffic.
                "x": (i + 0.5) / objects * (width - w), "y": float(rng.uniform(0, height - h)),
                "vx": float(rng.uniform(-1, 1) * width / 160), "vy": float(rng.uniform(-1, 1) * height / 160),
                "bounds": (0.0, width - w, 0.0, height - h),
            })
        if self._objects:
            # The first object loiters where the exclude region cuts into
            # Lane B, so that every frame shows one object it drops.
            o = self._objects[0]
            (x0, y0), (x1, y1) = LOITER
            o["bounds"] = (x0 * width - o["w"] / 2, x1 * width - o["w"] / 2, y0 * height - o["h"], y1 * height - o["h"])
            o["x"], o["y"] = (o["bounds"][0] + o["bounds"][1]) / 2, (o["bounds"][2] + o["bounds"][3]) / 2
            o["vx"], o["vy"] = width / 400, height / 500

    def step(self, index):
        """Advance one frame; return the image and its detections (dicts)."""
        frame = self._background.copy()
        detections = []
        for o in self._objects:
            o["x"] += o["vx"]
            o["y"] += o["vy"]
            left, right, top, bottom = o["bounds"]
            if not left <= o["x"] <= right:
                o["vx"] = -o["vx"]
                o["x"] = min(max(o["x"], left), right)
            if not top <= o["y"] <= bottom:
                o["vy"] = -o["vy"]
                o["y"] = min(max(o["y"], top), bottom)
            x, y, w, h = int(o["x"]), int(o["y"]), int(o["w"]), int(o["h"])
            cv2.rectangle(frame, (x, y), (x + w, y + h), o["colour"], -1)
            cv2.rectangle(frame, (x, y), (x + w, y + h), (30, 30, 30), 1)
            # Plain floats: the payload travels as JSON, which has no NumPy scalars.
            jitter = self._rng.normal(0, 1.0, 4).tolist()
            detections.append({
                "tlwh": [round(o["x"] + jitter[0], 1), round(o["y"] + jitter[1], 1),
                         round(o["w"] + jitter[2], 1), round(o["h"] + jitter[3], 1)],
                "label": o["label"], "score": round(float(0.8 + 0.19 * self._rng.random()), 2),
                "track_id": o["track_id"],
            })
        cv2.putText(frame, f"frame {index}", (8, self.height - 10), cv2.FONT_HERSHEY_SIMPLEX, 0.5,
                    (240, 240, 240), 1, cv2.LINE_AA)
        return frame, detections


def region_pixels(region, width, height):
    return np.array([[x * width, y * height] for x, y in region["points"]], np.int32)


_FONT = cv2.FONT_HERSHEY_SIMPLEX


class LabelLayout:
    """Places label boxes so that none covers another.

    Each label takes the first of its candidate places (top-left corners) that
    lies inside the image and is free, or else the one it shares least.
    """

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.taken = []  # (x0, y0, x1, y1), x1 and y1 exclusive

    def reserve(self, box):
        self.taken.append(tuple(int(v) for v in box))

    def place(self, w, h, candidates):
        best = None
        for x, y in candidates:
            x = int(min(max(x, 0), max(0, self.width - w)))
            y = int(min(max(y, 0), max(0, self.height - h)))
            box = (x, y, x + w, y + h)
            shared = sum(max(0, min(box[2], t[2]) - max(box[0], t[0])) * max(0, min(box[3], t[3]) - max(box[1], t[1]))
                         for t in self.taken)
            if best is None or shared < best[0]:
                best = (shared, box)
            if shared == 0:
                break
        self.taken.append(best[1])
        return best[1]


def _label(img, layout, text, colour, scale=0.45, box=None, at=None):
    """Draws text on a dark box: above ``box`` (p1, p2) or below it, or at the
    top-left corner ``at``, or else at the nearest free place stepped away
    from these, upwards and downwards, then in the columns beside."""
    (tw, th), base = cv2.getTextSize(text, _FONT, scale, 1)
    w, h = tw + 4, th + base + 4
    if box is not None:
        (x, top), (_, bottom) = box
        first, second = (x, top - h - 1), (x, bottom + 2)
    else:
        first = second = at
    tries = []
    for dx in (0, -(w + 2), w + 2):  # then the columns beside it
        tries += [(first[0] + dx, first[1]), (second[0] + dx, second[1])]
        for k in range(1, 12):
            tries += [(first[0] + dx, first[1] - k * (h + 1)), (second[0] + dx, second[1] + k * (h + 1))]
    x0, y0, x1, y1 = layout.place(w, h, tries)
    cv2.rectangle(img, (x0, y0), (x1 - 1, y1 - 1), (25, 25, 25), -1)
    cv2.putText(img, text, (x0 + 2, y0 + th + 2), _FONT, scale, colour, 1, cv2.LINE_AA)


def annotate(frame, regions, detections, kept, footer=""):
    """Draw regions, boxes, anchors and tags of one filtered frame.

    ``detections`` are the result dicts of the payload, ``kept`` the set of
    ``id()`` of those the filter let through (their tags are in the dicts).
    """
    img = frame.copy()
    h, w = img.shape[:2]
    layout = LabelLayout(w, h)
    layout.reserve((0, h - 24, 110, h))  # the scene's own frame number
    overlay = img.copy()
    for r in regions:
        cv2.fillPoly(overlay, [region_pixels(r, w, h)], _REGION_COLOURS.get(r["roi_id"], (200, 200, 200)))
    img = cv2.addWeighted(overlay, 0.28, img, 0.72, 0)
    for r in regions:
        cv2.polylines(img, [region_pixels(r, w, h)], True, _REGION_COLOURS.get(r["roi_id"], (200, 200, 200)), 2,
                      cv2.LINE_AA)
    includes = [region_pixels(r, w, h).astype(np.float32) for r in regions if r["include"]]
    labels = []
    for d in detections:
        x, y, bw, bh = d["tlwh"]
        box = (int(x), int(y)), (int(x + bw), int(y + bh))
        anchor = (x + bw * ANCHOR[0], y + bh * ANCHOR[1])
        a = (int(anchor[0]), int(anchor[1]))
        if id(d) in kept:
            cv2.rectangle(img, *box, (60, 255, 60), 2)
            cv2.circle(img, a, 5, (60, 255, 60), -1)
            text = f"#{d['track_id']} {d['label']} {d['score']:.2f} > " + ", ".join(d.get("roi_name", []))
            labels.append((text, (150, 255, 150), box))
        else:
            inside = any(cv2.pointPolygonTest(p, anchor, False) > 0 for p in includes)
            cv2.rectangle(img, *box, (150, 150, 150), 1)
            cv2.drawMarker(img, a, (80, 80, 255), cv2.MARKER_TILTED_CROSS, 10, 2)
            labels.append((f"#{d['track_id']} dropped: {'excluded' if inside else 'outside'}", (170, 170, 255), box))
    # Labels last, so that no box is drawn over one; fixed ones place first.
    if footer:
        _label(img, layout, footer, (255, 255, 255), at=(2, 2))
    for r in regions:
        pts = region_pixels(r, w, h)
        corner = pts[np.argmin(pts.sum(axis=1))]  # top left
        _label(img, layout, r["label"], _REGION_COLOURS.get(r["roi_id"], (200, 200, 200)), 0.5,
               at=(corner[0] + 6, corner[1] + 6))
    for text, colour, box in labels:
        _label(img, layout, text, colour, box=box)
    return img
