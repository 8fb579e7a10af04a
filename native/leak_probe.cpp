#include "core/xcore.hpp"

PYBIND11_MODULE(leak_probe, m) {
    (void)m;
}
