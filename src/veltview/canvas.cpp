#include "veltview/canvas.h"

#include <algorithm>
#include <cstdlib>

namespace velt::veltview {

PixelCanvas::PixelCanvas() : pixels_(std::size_t(kWidth * kHeight), kBackgroundRgb) {
    text_.fill(std::string(kColumns, ' '));
}

void PixelCanvas::putText(int column, int row, const std::string& text) {
    if (row < 0 || row >= kRows) return;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int c = column + int(i);
        if (c >= 0 && c < kColumns) text_[std::size_t(row)][std::size_t(c)] = text[i];
    }
}

void PixelCanvas::setDot(int x, int y, Ink ink) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    pixels_[std::size_t(y * kWidth + x)] = ink == Ink::Foreground ? kForegroundRgb : kBackgroundRgb;
}

void PixelCanvas::fillBox(int x1, int y1, int x2, int y2, Ink ink) {
    for (int y = std::max(0, std::min(y1, y2)); y <= std::min(kHeight - 1, std::max(y1, y2)); ++y)
        for (int x = std::max(0, std::min(x1, x2)); x <= std::min(kWidth - 1, std::max(x1, x2)); ++x) setDot(x, y, ink);
}

void PixelCanvas::drawLine(int x1, int y1, int x2, int y2, Ink ink) {
    // Bresenham, both ends included.
    const int dx = std::abs(x2 - x1), sx = x1 < x2 ? 1 : -1;
    const int dy = -std::abs(y2 - y1), sy = y1 < y2 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        setDot(x1, y1, ink);
        if (x1 == x2 && y1 == y2) return;
        const int e2 = 2 * error;
        if (e2 >= dy) {
            error += dy;
            x1 += sx;
        }
        if (e2 <= dx) {
            error += dx;
            y1 += sy;
        }
    }
}

void PixelCanvas::setScaleLabels(int channel, const std::string& middle, const std::string& half) {
    if (channel < 0 || channel > 2) return;
    middle_[std::size_t(channel)] = middle;
    half_[std::size_t(channel)] = half;
}

bool PixelCanvas::ink(int x, int y) const {
    return x >= 0 && y >= 0 && x < kWidth && y < kHeight && pixels_[std::size_t(y * kWidth + x)] == kForegroundRgb;
}

std::string PixelCanvas::row(int r) const { return r >= 0 && r < kRows ? text_[std::size_t(r)] : std::string(); }

}  // namespace velt::veltview
