"""Polygon regions of interest."""
