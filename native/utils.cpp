#include "core/xcore.hpp"

PYBIND11_MODULE(utils, m) {
    (void)m;
}
