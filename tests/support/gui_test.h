// What the window tests share: running the event loop until something
// shows, finding the question a window asks, and telling whether a part of
// a screenshot shows anything.
#pragma once

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QMessageBox>
#include <QRect>

#include <chrono>

namespace velt::test {

/// @brief Runs the event loop until `ready()` holds or `seconds` have passed.
/// @return ready() at the end.
template <typename Ready>
bool waitFor(Ready ready, int seconds = 5) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready() && std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return ready();
}

/// @brief Runs the event loop for `time` (what a hand or an eye would take).
inline void serveFor(std::chrono::milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

/// @brief The Yes/No question showing over `window`, or null.
inline QMessageBox* shownQuestion(const QWidget& window) {
    for (QMessageBox* box : window.findChildren<QMessageBox*>())
        if (box->isVisible() && box->icon() == QMessageBox::Question) return box;
    return nullptr;
}

/// @brief Pixels of `area` in `image` dark enough to be text or a line on a
/// light background (none where the area is blank).
inline int darkPixels(const QImage& image, const QRect& area) {
    int dark = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) dark += qGray(image.pixel(x, y)) < 96;
    return dark;
}

}  // namespace velt::test
