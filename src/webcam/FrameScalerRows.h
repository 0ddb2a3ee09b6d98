#pragma once
// The two passes of FrameScaler over one output row, in a plain version (the reference) and an AVX2 one
// that gives the same bytes. Plain C++ without Windows headers, like the conversion kernels.

#include <cstdint>

namespace Zarvo::ScalerRows {

// Down `count` source rows `pitch` apart from `top`, `samples` contiguous samples each, weighted by
// `weights` (adding up to 2^14), into 16-bit sums with 7 bits more than a sample: (sum + 2^6) >> 7, at
// most 32640, so two of them multiply-add as signed 16-bit values.
using VerticalFn = void (*)(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights,
                            std::uint32_t count, std::uint32_t samples, std::uint16_t* column);

// Along the row, taps in pairs of neighbouring samples: output i is (sum over pairs p of
// w0 * column[o] + w1 * column[o + 1] + 2^20) >> 21, where o = offsets[p * outputs + i] and the int32
// weights[p * outputs + i] holds w0 in its low half and w1 in its high one; written `outStep` bytes
// apart. Pairs beyond an output's taps weigh 0; `column` may be read one sample past any o + 1.
struct HorizontalTable {
    std::uint32_t outputs = 0;
    std::uint32_t pairs = 0;
    const std::int32_t* offsets = nullptr;
    const std::int32_t* weights = nullptr;
};
using HorizontalFn = void (*)(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                              std::uint32_t outStep);

// Interleaved pairs of `pairs` samples (U, V, U, V ...) parted into `first` (U ...) and `second` (V ...).
using PartFn = void (*)(const std::uint16_t* column, std::uint32_t pairs, std::uint16_t* first, std::uint16_t* second);

void PartScalar(const std::uint16_t* column, std::uint32_t pairs, std::uint16_t* first, std::uint16_t* second) noexcept;
void VerticalScalar(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                    std::uint32_t samples, std::uint16_t* column) noexcept;
void HorizontalScalar(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                      std::uint32_t outStep) noexcept;

// Built for AVX2; call only where the processor has it.
void PartAvx2(const std::uint16_t* column, std::uint32_t pairs, std::uint16_t* first, std::uint16_t* second) noexcept;
void VerticalAvx2(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                  std::uint32_t samples, std::uint16_t* column) noexcept;
void HorizontalAvx2(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                    std::uint32_t outStep) noexcept;

} // namespace Zarvo::ScalerRows
