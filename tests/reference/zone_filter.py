"""Region preparation, the region check and filtering, in plain Python on Shapely."""

import copy
import math
import numpy as np
from shapely.geometry import Polygon, Point
from shapely.validation import explain_validity, make_valid
from xalo_sdk.constants import KEY, STRICT
from xalo_sdk.logging import exception_traceback, get_logger

logger = get_logger("ZoneFilter")


class RoiData:
    POLYGON_INFO = "polygon_roi"
    ROI_ID_KEY = "roi_id"
    ROI_LABEL_KEY = "label"
    INCLUDE_KEY = "include"
    POINTS_KEY = "points"
    POLYGON_EDGE = 1


class ZoneFilter:
    def __init__(self, polygons=None, frame_sz=None):
        if STRICT:
            check_regions(polygons, frame_sz)
        self.polygons = None
        if polygons:
            self.polygons = copy.deepcopy(polygons)
        self.rois = polygons
        self.frame_sz = [float(frame_sz[0]), float(frame_sz[1])] if frame_sz else [1.0, 1.0]
        self._included_rois = []
        self._empty_polygon = None
        self._exclusion_intersections = {}
        if not self.rois:
            return
        for index, roi in enumerate(self.rois):
            vertices = np.array(roi[RoiData.POINTS_KEY], dtype=np.float32)
            if not np.isfinite(vertices).all():
                raise ValueError(f"region entry {index} has a vertex that is not finite as a 32-bit float")
            roi[RoiData.POINTS_KEY] = vertices
            roi["shapely_polygon"] = Polygon(roi[RoiData.POINTS_KEY])
        excluded = [roi for roi in self.rois if not roi[RoiData.INCLUDE_KEY]]
        for roi in self.rois:
            if len(roi[RoiData.POINTS_KEY]) == 0:
                self._empty_polygon = roi
            elif roi[RoiData.INCLUDE_KEY]:
                self._included_rois.append(roi)
                overlaps = []
                for ex in excluded:
                    a, b = roi["shapely_polygon"], ex["shapely_polygon"]
                    try:
                        geometry = a.intersection(b)
                    except Exception:
                        if a.is_valid and b.is_valid:
                            raise
                        geometry = make_valid(a).intersection(make_valid(b))
                    if not geometry.is_empty:
                        overlaps.append(geometry)
                self._exclusion_intersections[id(roi)] = overlaps

    def filter_in_roi(self, det_or_trk, frame_sz=None, anchor_pt=(0.5, 0.5)):
        try:
            if not frame_sz:
                frame_sz = self.frame_sz
            if not self.rois:
                return det_or_trk
            fx, fy = frame_sz[0], frame_sz[1]
            ax, ay = anchor_pt
            included = self._included_rois
            empty_polygon = self._empty_polygon
            out = []
            for item in det_or_trk:
                has_info_attr = hasattr(item, "info")
                if has_info_attr:
                    info = item.info
                    box = info.get("rect", item.tlwh)
                else:
                    box = item.tlwh
                x, y, w, h = box
                rx, ry = x + w * ax, y + h * ay
                if w > 1.0 and h > 1.0:
                    rx, ry = rx / fx, ry / fy
                point = Point(rx, ry)
                matched_polygons = []
                for polygon in included:
                    if self._is_point_in_polygon(point, polygon):
                        if not self._is_point_excluded_for_polygon(point, polygon):
                            matched_polygons.append(polygon)
                if empty_polygon and not matched_polygons:
                    item_copy = copy.copy(item)
                    self._assign_roi_info(item_copy, [empty_polygon], has_info_attr)
                    out.append(item_copy)
                elif matched_polygons:
                    item_copy = copy.copy(item)
                    self._assign_roi_info(item_copy, matched_polygons, has_info_attr)
                    out.append(item_copy)
            return out
        except Exception as e:
            if STRICT:
                raise
            exception_traceback(logger, e)
            return []

    @staticmethod
    def _is_point_in_polygon(point_shapely, polygon):
        return polygon["shapely_polygon"].contains(point_shapely)

    def _is_point_excluded_for_polygon(self, point_shapely, polygon):
        for geometry in self._exclusion_intersections.get(id(polygon), []):
            if geometry.contains(point_shapely):
                return True
        return False

    @staticmethod
    def _assign_roi_info(item_copy, matched_polygons, has_info_attr):
        ids = [p.get(RoiData.ROI_ID_KEY, "") for p in matched_polygons]
        names = [p.get(RoiData.ROI_LABEL_KEY, "") for p in matched_polygons]
        if has_info_attr:
            item_copy.info[KEY.ROI_ID] = ids
            item_copy.info[KEY.ROI_NAME] = names
        else:
            item_copy.roi_id = ids
            item_copy.roi_name = names


# ---- the region check ------------------------------------------------------------------

_MISSING = object()


def _type_name(kind):
    """A type's name as the interpreter's own messages give it (module-qualified for built-in extension types)."""
    heap = kind.__flags__ & (1 << 9)
    if heap or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__qualname__}"


def _bad_entry(index, entry, what):
    name = f"region entry {index}"
    if isinstance(entry, dict):
        named = []
        for key in (RoiData.ROI_ID_KEY, RoiData.ROI_LABEL_KEY):
            value = dict.get(entry, key, _MISSING)
            if value is not _MISSING:
                named.append(f"{key}={value!r}")
        if named:
            name += " (" + ", ".join(named) + ")"
    return ValueError(f"{name}: {what}")


def _coordinate(value):
    """A coordinate as a float, or None when it is not a real number."""
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        return None
    try:
        return float(value)
    except Exception:
        return None


def _as_list(value):
    if isinstance(value, (list, tuple)):
        return value
    try:
        return list(value)
    except Exception:
        return None


def _check_entry(index, entry, fractions):
    if not isinstance(entry, dict):
        raise _bad_entry(index, entry, f"not a dict but {_type_name(type(entry))[:200]}")
    include = dict.get(entry, RoiData.INCLUDE_KEY, _MISSING)
    if include is _MISSING:
        raise _bad_entry(index, entry, f"{RoiData.INCLUDE_KEY!r} is missing")
    if not isinstance(include, bool):
        raise _bad_entry(index, entry, f"{RoiData.INCLUDE_KEY!r} must be True or False, not "
                                       f"{_type_name(type(include))[:200]}")
    points = dict.get(entry, RoiData.POINTS_KEY, _MISSING)
    if points is _MISSING:
        raise _bad_entry(index, entry, f"{RoiData.POINTS_KEY!r} is missing")
    vertices = _as_list(points)
    if vertices is None:
        raise _bad_entry(index, entry, f"{RoiData.POINTS_KEY!r} is not a list of points but "
                                       f"{_type_name(type(points))[:200]}")
    n = len(vertices)
    if n == 0:
        return 0
    if n < 3:
        raise _bad_entry(index, entry, f"{RoiData.POINTS_KEY!r} has {n} point{'' if n == 1 else 's'}; "
                                       "a region needs at least 3 (or none, for the whole frame)")
    for i, point in enumerate(vertices):
        pair = _as_list(point)
        x = y = None
        if pair is not None and len(pair) == 2:
            x, y = _coordinate(pair[0]), _coordinate(pair[1])
        if x is None or y is None or not (math.isfinite(x) and math.isfinite(y)):
            raise _bad_entry(index, entry, f"point {i} is not two finite numbers: {point!r}")
        if fractions and not (0.0 <= x <= 1.0 and 0.0 <= y <= 1.0):
            raise _bad_entry(index, entry, f"point {i} {point!r} lies outside the frame "
                                           "(with a frame size, points are fractions 0 to 1)")
    vertices = np.array(points, dtype=np.float32)
    if np.isfinite(vertices).all():
        polygon = Polygon(vertices)
        if not polygon.is_valid:
            raise _bad_entry(index, entry, f"{RoiData.POINTS_KEY!r} is not a valid polygon "
                                           f"({explain_validity(polygon)}): its edges must not cross or touch "
                                           "each other")
    return n


def check_regions(polygons, frame_sz=None):
    """Check a region list as ZoneFilter(polygons, frame_sz) takes it; raise
    ValueError naming the first wrong entry and what is wrong with it; warn of
    a list larger than a board affords."""
    if not polygons:
        return None
    fractions = bool(frame_sz)
    regions = vertices = 0
    for index, entry in enumerate(polygons):
        vertices += _check_entry(index, entry, fractions)
        regions += 1
    if regions > 1000 or vertices > 100000:
        logger.warning(f"region list of {regions} regions and {vertices} vertices: more than a board affords "
                       "(1000 regions, 100000 vertices); filtering costs grow with the regions, construction "
                       "with the vertices")
    return None
