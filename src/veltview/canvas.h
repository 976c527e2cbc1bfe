// What the monitor's worker draws on: the 480 x 360 drawing area (a trace
// plot and the recorder's 40 x 30 character screen) and the labels beside
// it. The Qt window implements it on an off-screen image; the core has a
// pixel canvas for image tests and a recording canvas.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velt::veltview {

enum class Ink { Background, Foreground };

class Canvas {
public:
    static constexpr int kWidth = 480;
    static constexpr int kHeight = 360;
    static constexpr int kColumns = 40;
    static constexpr int kRows = 30;
    static constexpr int kCell = 12;  // pixels per character cell, both ways

    virtual ~Canvas() = default;
    /// @brief Text at cell (column, row), one character per 12-pixel cell.
    virtual void putText(int column, int row, const std::string& text) = 0;
    /// @brief Fills the box from (x1, y1) to (x2, y2), both corners included.
    virtual void fillBox(int x1, int y1, int x2, int y2, Ink ink) = 0;
    /// @brief A 1-pixel line from (x1, y1) to (x2, y2), both ends included.
    virtual void drawLine(int x1, int y1, int x2, int y2, Ink ink) = 0;
    virtual void setDot(int x, int y, Ink ink) = 0;

    /// @brief The "m:" and "d:" labels of `channel`.
    virtual void setScaleLabels(int channel, const std::string& middle, const std::string& half) = 0;
    /// @brief Marks `channel` (0..2) as the active one.
    virtual void setActiveChannel(int channel) = 0;
    /// @brief The "SPS:" field.
    virtual void setRateText(const std::string& text) = 0;
};

/// Background of the drawing area (red F0, green F0, blue E0) and ink.
constexpr uint32_t kBackgroundRgb = 0xF0F0E0;
constexpr uint32_t kForegroundRgb = 0x000000;

/// Pixels and characters in memory: what the window would show, for tests.
class PixelCanvas final : public Canvas {
public:
    PixelCanvas();
    void putText(int column, int row, const std::string& text) override;
    void fillBox(int x1, int y1, int x2, int y2, Ink ink) override;
    void drawLine(int x1, int y1, int x2, int y2, Ink ink) override;
    void setDot(int x, int y, Ink ink) override;
    void setScaleLabels(int channel, const std::string& middle, const std::string& half) override;
    void setActiveChannel(int channel) override { active_ = channel; }
    void setRateText(const std::string& text) override { rate_ = text; }

    /// @brief True when (x, y) holds the foreground.
    bool ink(int x, int y) const;
    /// @brief The characters of `row` (a space where nothing was written).
    std::string row(int r) const;
    const std::string& middleLabel(int c) const { return middle_[std::size_t(c)]; }
    const std::string& halfLabel(int c) const { return half_[std::size_t(c)]; }
    int activeChannel() const { return active_; }
    const std::string& rateText() const { return rate_; }

private:
    std::vector<uint32_t> pixels_;
    std::array<std::string, kRows> text_;
    std::array<std::string, 3> middle_, half_;
    int active_ = -1;
    std::string rate_;
};

/// Counts what is drawn, for tests of how much a step costs.
class RecordingCanvas final : public Canvas {
public:
    struct Counts {
        int texts = 0, boxes = 0, lines = 0, dots = 0;
    };
    void putText(int, int, const std::string&) override { ++counts.texts; }
    void fillBox(int, int, int, int, Ink) override { ++counts.boxes; }
    void drawLine(int, int, int, int, Ink) override { ++counts.lines; }
    void setDot(int, int, Ink) override { ++counts.dots; }
    void setScaleLabels(int, const std::string&, const std::string&) override {}
    void setActiveChannel(int) override {}
    void setRateText(const std::string&) override {}
    Counts counts;
};

}  // namespace velt::veltview
