# Soak form of the exit and fault tests: about 30 runs per exit case, several
# server kills, longer stops and more writes per producer.
.PHONY: test-long

test-long: install
	XALO_LONG=1 $(PY) -m pytest tests/test_exit.py tests/test_faults.py
