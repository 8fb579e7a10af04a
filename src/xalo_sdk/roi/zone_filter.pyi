"""v 0.1.0-performance: precompute exclusion intersections, use shapely only, avoid deepcopy"""

import copy as copy
import logging
from typing import Any, Dict, Iterable, List, Optional, Sequence, TypeVar, overload

import numpy as np
from shapely.geometry import Point as Point
from shapely.geometry import Polygon as Polygon
from shapely.geometry.base import BaseGeometry

from xalo_sdk.constants import KEY as KEY
from xalo_sdk.constants import STRICT as STRICT
from xalo_sdk.logging import exception_traceback as exception_traceback
from xalo_sdk.logging import get_logger as get_logger

logger: logging.Logger

_T = TypeVar("_T")

class RoiData:
    POLYGON_INFO: str
    ROI_ID_KEY: str
    ROI_LABEL_KEY: str
    INCLUDE_KEY: str
    POINTS_KEY: str
    POLYGON_EDGE: int

class ZoneFilter:
    polygons: Optional[List[Dict[str, Any]]]
    rois: Any
    frame_sz: List[float]
    _included_rois: List[Dict[str, Any]]
    _empty_polygon: Optional[Dict[str, Any]]
    _exclusion_intersections: Dict[int, List[BaseGeometry]]

    def __init__(self, polygons: Optional[List[Dict[str, Any]]] = None,
                 frame_sz: Optional[Sequence[float]] = None) -> None: ...
    # Copies of the objects given, in a list; without regions, the argument itself.
    @overload
    def filter_in_roi(self, det_or_trk: List[_T], frame_sz: Optional[Sequence[float]] = None,
                      anchor_pt: Sequence[float] = (0.5, 0.5)) -> List[_T]: ...
    @overload
    def filter_in_roi(self, det_or_trk: Iterable[_T], frame_sz: Optional[Sequence[float]] = None,
                      anchor_pt: Sequence[float] = (0.5, 0.5)) -> Iterable[_T]: ...
    @staticmethod
    def _is_point_in_polygon(point_shapely: Point, polygon: Dict[str, Any]) -> bool: ...
    def _is_point_excluded_for_polygon(self, point_shapely: Point, polygon: Dict[str, Any]) -> bool: ...
    @staticmethod
    def _assign_roi_info(item_copy: Any, matched_polygons: List[Dict[str, Any]], has_info_attr: bool) -> None: ...

def check_regions(polygons: Optional[Iterable[Dict[str, Any]]],
                  frame_sz: Optional[Sequence[float]] = None) -> None: ...
