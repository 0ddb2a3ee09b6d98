// The scaler's passes in plain code: the reference the other versions are held to.
#include "webcam/FrameScalerRows.h"

#include <cstddef>

namespace Zarvo::ScalerRows {

void PartScalar(const std::uint16_t* column, std::uint32_t pairs, std::uint16_t* first, std::uint16_t* second) noexcept {
    for (std::uint32_t k = 0; k < pairs; ++k) {
        first[k] = column[2 * k];
        second[k] = column[2 * k + 1];
    }
}

void VerticalScalar(const std::uint8_t* top, std::uint64_t pitch, const std::uint16_t* weights, std::uint32_t count,
                    std::uint32_t samples, std::uint16_t* column) noexcept {
    for (std::uint32_t k = 0; k < samples; ++k) {
        std::uint32_t sum = 0;
        for (std::uint32_t j = 0; j < count; ++j)
            sum += std::uint32_t{weights[j]} * top[j * pitch + k];
        column[k] = static_cast<std::uint16_t>((sum + 64) >> 7);
    }
}

void HorizontalScalar(const std::uint16_t* column, const HorizontalTable& table, std::uint8_t* out,
                      std::uint32_t outStep) noexcept {
    for (std::uint32_t i = 0; i < table.outputs; ++i) {
        std::uint32_t sum = 0;
        for (std::uint32_t p = 0; p < table.pairs; ++p) {
            const std::size_t at = std::size_t{p} * table.outputs + i;
            const auto weights = static_cast<std::uint32_t>(table.weights[at]);
            const std::uint16_t* pair = column + table.offsets[at];
            sum += (weights & 0xFFFF) * pair[0] + (weights >> 16) * pair[1];
        }
        out[std::size_t{i} * outStep] = static_cast<std::uint8_t>((sum + (1u << 20)) >> 21);
    }
}

} // namespace Zarvo::ScalerRows
