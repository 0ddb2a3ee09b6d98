// The scaler's scalar reference, which every vector kernel must match byte for byte, and the tail of their
// rows. Built without auto-vectorisation, like the conversion kernels' reference.
#include "webcam/FrameScalerRows.h"

namespace Zarvo::ScalerKernels {

void ScaleColumnsRow_C(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                       std::size_t rows, std::uint16_t* out, std::size_t width) noexcept {
    for (std::size_t k = 0; k < width; ++k) {
        std::int32_t sum = 64;
        for (std::size_t j = 0; j < rows; ++j)
            sum += weights[j] * top[j * pitch + k];
        out[k] = static_cast<std::uint16_t>(sum >> 7);
    }
}

void ScaleColumnsUvRow_C(const std::uint8_t* top, std::size_t pitch, const std::int16_t* weights,
                         std::size_t rows, std::uint16_t* u, std::uint16_t* v, std::size_t width) noexcept {
    for (std::size_t k = 0; k < width; ++k) {
        std::int32_t sumU = 64, sumV = 64;
        for (std::size_t j = 0; j < rows; ++j) {
            sumU += weights[j] * top[j * pitch + 2 * k];
            sumV += weights[j] * top[j * pitch + 2 * k + 1];
        }
        u[k] = static_cast<std::uint16_t>(sumU >> 7);
        v[k] = static_cast<std::uint16_t>(sumV >> 7);
    }
}

void FilterRow_C(const std::uint16_t* columns, const RowTaps& taps, std::uint8_t* out, std::size_t begin,
                 std::size_t end) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t* from = columns + taps.first[i];
        const std::int16_t* weights = taps.weights + i * taps.taps;
        std::int32_t sum = 1 << 20;
        for (std::size_t t = 0; t < taps.taps; ++t)
            sum += weights[t] * from[t];
        out[i] = static_cast<std::uint8_t>(sum >> 21);
    }
}

void MergeUvRow_C(const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* uv,
                  std::size_t width) noexcept {
    for (std::size_t i = 0; i < width; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
}

} // namespace Zarvo::ScalerKernels
