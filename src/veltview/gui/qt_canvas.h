// The drawing area as the window shows it: an off-screen image that the
// worker draws on (under one lock) and the window copies when it repaints.
// Text is drawn a character per 12-pixel cell in "Courier New" 12 px
// (fontconfig maps it to a metric-compatible face on Linux).
#pragma once

#include <QFont>
#include <QImage>
#include <QMutex>
#include <QString>

#include <array>
#include <atomic>
#include <string>

#include "veltview/canvas.h"

namespace velt::veltview::gui {

class QtCanvas final : public Canvas {
public:
    QtCanvas();
    void putText(int column, int row, const std::string& text) override;
    void fillBox(int x1, int y1, int x2, int y2, Ink ink) override;
    void drawLine(int x1, int y1, int x2, int y2, Ink ink) override;
    void setDot(int x, int y, Ink ink) override;
    void setScaleLabels(int channel, const std::string& middle, const std::string& half) override;
    void setActiveChannel(int channel) override;
    void setRateText(const std::string& text) override;

    /// @brief A copy of the drawing area, for the window's repaint (any thread).
    QImage snapshot() const;
    /// @brief True when something was drawn since the last call (any thread).
    bool takeChanged() { return changed_.exchange(false); }
    struct Labels {
        std::array<QString, 3> middle, half;
        int active = 2;
        QString rate;
    };
    /// @brief The texts beside the plot, for the window (any thread).
    Labels labels() const;

private:
    mutable QMutex lock_;
    std::atomic<bool> changed_{true};
    QImage image_;
    QFont font_;
    Labels labels_;
};

}  // namespace velt::veltview::gui
