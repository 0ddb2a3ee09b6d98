// The scaler's passes in plain code: the reference the other versions are held to.
#include "webcam/FrameScalerRows.h"

#include <cstddef>

namespace Zarvo::ScalerRows {

void VerticalScalar(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                    std::uint32_t samples, std::uint16_t* column) noexcept {
    for (std::uint32_t k = 0; k < samples; ++k) {
        std::uint32_t sum = 0;
        for (std::uint32_t j = 0; j < count; ++j)
            sum += std::uint32_t{weights[j]} * top[j * pitch + k];
        column[k] = static_cast<std::uint16_t>((sum + 32) >> 6);
    }
}

void HorizontalScalar(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                      std::uint32_t outStep) noexcept {
    for (std::uint32_t i = 0; i < table.outputs; ++i) {
        std::uint32_t sum = 0;
        for (std::uint32_t j = 0; j < table.taps; ++j) {
            const std::size_t at = std::size_t{j} * table.outputs + i;
            sum += static_cast<std::uint32_t>(table.weights[at]) * column[table.offsets[at]];
        }
        out[std::size_t{i} * outStep] = static_cast<std::uint8_t>((sum + (1u << 21)) >> 22);
    }
}

} // namespace Zarvo::ScalerRows
