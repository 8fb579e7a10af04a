"""The kit's documented behaviour written as plain Python, module for module.

Tests, benchmarks and fuzz targets compare the native modules with these
(tests/test_reference.py keeps the two together); bench/bench_core.py
compiles the same files with Cython. Not part of the installed package:
tests find it on their own path, bench and fuzz scripts add tests/ to
sys.path. Each module looks its globals (logger, KEY, STRICT, ...) up at
each use, as the kit's modules do, so the same monkeypatching works on both.
"""
