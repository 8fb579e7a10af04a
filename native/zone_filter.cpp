#include "core/xcore.hpp"

PYBIND11_MODULE(zone_filter, m) {
    (void)m;
}
