#include "core/xcore.hpp"

PYBIND11_MODULE(frame_packet, m) {
    (void)m;
}
