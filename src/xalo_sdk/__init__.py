"""Software development kit for the modules of a video-analytics pipeline."""

__version__ = "0.3.0"
