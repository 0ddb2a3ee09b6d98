#include "webcam/PlaceholderArt.h"

#include "webcam/BitmapFont.h"
#include "webcam/Canvas.h"

#include <algorithm>

namespace Zarvo {

const char* PlaceholderText(PlaceholderReason reason) noexcept {
    switch (reason) {
    case PlaceholderReason::Starting:
        return "Starting\xE2\x80\xA6";
    case PlaceholderReason::WaitingForApp:
        return "Waiting for the Zarvo Webcam app";
    case PlaceholderReason::AppStopped:
        return "The Zarvo Webcam app stopped sending pictures";
    }
    return "";
}

void DrawPlaceholderNv12(std::uint32_t width, std::uint32_t height, PlaceholderReason reason,
                         std::uint8_t* destination) {
    using Drawing::FromRgb;
    Drawing::Canvas canvas(width, height);
    const double w = width, h = height;
    // Sizes are designed at 1280 x 720 and scale with the frame; a frame wider or taller than 16:9
    // scales by its shorter side.
    const double unit = std::min(w / 1280, h / 720);

    canvas.FillVignette(FromRgb(34, 40, 54), FromRgb(10, 12, 17));

    // Viewfinder corners.
    const Drawing::Yuv frame = FromRgb(64, 72, 90);
    const double inset = 36 * unit, arm = 64 * unit, thick = 4 * unit;
    for (const bool right : {false, true})
        for (const bool bottom : {false, true}) {
            const double x = right ? w - inset - arm : inset, y = bottom ? h - inset - thick : inset;
            canvas.FillRoundedRect(x, y, x + arm, y + thick, thick / 2, frame);
            const double vx = right ? w - inset - thick : inset, vy = bottom ? h - inset - arm : inset;
            canvas.FillRoundedRect(vx, vy, vx + thick, vy + arm, thick / 2, frame);
        }

    const Drawing::Yuv accent = reason == PlaceholderReason::Starting        ? FromRgb(80, 160, 250)
                                : reason == PlaceholderReason::WaitingForApp ? FromRgb(245, 180, 60)
                                                                             : FromRgb(235, 90, 80);
    const char* title = "Zarvo Webcam";
    const char* line = PlaceholderText(reason);
    const double titleScale = std::min(9 * unit, 0.9 * w / Font::TextWidth(title));
    const double lineScale = std::min(3.2 * unit, 0.9 * w / Font::TextWidth(line));

    // The stack from the top: webcam, gap, title, gap, accent bar, gap, reason; centred a little high.
    const double head = 56 * unit;
    const double camHeight = 2.6 * head, titleHeight = Font::kGlyphHeight * titleScale;
    const double lineHeight = Font::kGlyphHeight * lineScale;
    const double gap1 = 40 * unit, gap2 = 26 * unit, bar = 4 * unit;
    const double total = camHeight + gap1 + titleHeight + gap2 + bar + gap2 + lineHeight;
    double y = (h - total) / 2 - 12 * unit;
    const double cx = w / 2;

    // The webcam: a round head with its lens and status light, on a neck and a foot.
    const Drawing::Yuv body = FromRgb(176, 186, 204);
    const double cy = y + head;
    canvas.FillRoundedRect(cx - 0.13 * head, cy + 0.8 * head, cx + 0.13 * head, cy + 1.4 * head, 0, body);
    canvas.FillRoundedRect(cx - 0.7 * head, cy + 1.35 * head, cx + 0.7 * head, cy + 1.6 * head, 0.125 * head,
                           body);
    canvas.FillCircle(cx, cy, head, body);
    canvas.FillCircle(cx, cy + 0.05 * head, 0.58 * head, FromRgb(22, 26, 34));
    canvas.FillCircle(cx, cy + 0.05 * head, 0.36 * head, FromRgb(52, 96, 170));
    canvas.FillCircle(cx, cy + 0.05 * head, 0.16 * head, FromRgb(14, 18, 26));
    canvas.FillCircle(cx - 0.14 * head, cy - 0.1 * head, 0.08 * head, FromRgb(200, 220, 255));
    canvas.FillCircle(cx, cy - 0.79 * head, 0.075 * head, accent);
    y += camHeight + gap1;

    canvas.DrawText(title, cx - Font::TextWidth(title) * titleScale / 2, y, titleScale,
                    FromRgb(238, 240, 244));
    y += titleHeight + gap2;
    canvas.FillRoundedRect(cx - 48 * unit, y, cx + 48 * unit, y + bar, bar / 2, accent);
    y += bar + gap2;
    canvas.DrawText(line, cx - Font::TextWidth(line) * lineScale / 2, y, lineScale, FromRgb(150, 160, 176));

    canvas.ToNv12(destination);
}

} // namespace Zarvo
