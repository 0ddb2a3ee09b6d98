#pragma once
// The two passes of FrameScaler over one output row, in a plain version (the reference) and an AVX2 one
// that gives the same bytes. Plain C++ without Windows headers, like the conversion kernels.

#include <cstdint>

namespace Zarvo::ScalerRows {

// Down `count` source rows `pitch` apart from `top`, `samples` contiguous samples each, weighted by
// `weights` (adding up to 2^14), into 16-bit sums with 8 bits more than a sample: (sum + 2^5) >> 6.
using VerticalFn = void (*)(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights,
                            std::uint32_t count, std::uint32_t samples, std::uint16_t* column);

// Along the row: output i is (sum over j < taps of weights[j * outputs + i] * column[offsets[j * outputs + i]]
// + 2^21) >> 22, written `outStep` bytes apart. The tables are padded to `taps` per output with weight 0;
// offsets are in samples from `column`, which may be read up to one sample past any offset.
struct HorizontalTable {
    std::uint32_t outputs = 0;
    std::uint32_t taps = 0;
    const std::int32_t* offsets = nullptr;
    const std::int32_t* weights = nullptr;
};
using HorizontalFn = void (*)(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                              std::uint32_t outStep);

void VerticalScalar(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                    std::uint32_t samples, std::uint16_t* column) noexcept;
void HorizontalScalar(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                      std::uint32_t outStep) noexcept;

// Built for AVX2; call only where the processor has it.
void VerticalAvx2(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                  std::uint32_t samples, std::uint16_t* column) noexcept;
void HorizontalAvx2(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                    std::uint32_t outStep) noexcept;

} // namespace Zarvo::ScalerRows
