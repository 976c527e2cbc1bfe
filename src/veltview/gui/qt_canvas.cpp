#include "veltview/gui/qt_canvas.h"

#include <QMutexLocker>
#include <QPainter>

namespace velt::veltview::gui {

namespace {

QColor colourOf(Ink ink) { return QColor(QRgb(ink == Ink::Foreground ? kForegroundRgb : kBackgroundRgb)); }

}  // namespace

QtCanvas::QtCanvas() : image_(kWidth, kHeight, QImage::Format_RGB32), font_("Courier New") {
    font_.setPixelSize(kCell);
    font_.setStyleHint(QFont::TypeWriter);
    image_.fill(colourOf(Ink::Background));
}

void QtCanvas::putText(int column, int row, const std::string& text) {
    changed_.store(true);
    const QMutexLocker guard(&lock_);
    QPainter p(&image_);
    p.setFont(font_);
    p.setPen(colourOf(Ink::Foreground));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const QRect cell((column + int(i)) * kCell, row * kCell, kCell, kCell);
        p.fillRect(cell, colourOf(Ink::Background));
        p.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter, QString(QChar::fromLatin1(text[i])));
    }
}

void QtCanvas::fillBox(int x1, int y1, int x2, int y2, Ink ink) {
    changed_.store(true);
    const QMutexLocker guard(&lock_);
    QPainter p(&image_);
    p.fillRect(QRect(QPoint(std::min(x1, x2), std::min(y1, y2)), QPoint(std::max(x1, x2), std::max(y1, y2))),
               colourOf(ink));
}

void QtCanvas::drawLine(int x1, int y1, int x2, int y2, Ink ink) {
    changed_.store(true);
    const QMutexLocker guard(&lock_);
    QPainter p(&image_);
    p.setPen(QPen(colourOf(ink), 1));
    p.drawLine(x1, y1, x2, y2);
}

void QtCanvas::setDot(int x, int y, Ink ink) {
    changed_.store(true);
    const QMutexLocker guard(&lock_);
    if (image_.rect().contains(x, y)) image_.setPixel(x, y, colourOf(ink).rgb());
}

void QtCanvas::setScaleLabels(int channel, const std::string& middle, const std::string& half) {
    if (channel < 0 || channel > 2) return;
    const QMutexLocker guard(&lock_);
    labels_.middle[std::size_t(channel)] = QString::fromStdString(middle);
    labels_.half[std::size_t(channel)] = QString::fromStdString(half);
}

void QtCanvas::setActiveChannel(int channel) {
    const QMutexLocker guard(&lock_);
    labels_.active = channel;
}

void QtCanvas::setRateText(const std::string& text) {
    const QMutexLocker guard(&lock_);
    labels_.rate = QString::fromStdString(text);
}

QImage QtCanvas::snapshot() const {
    const QMutexLocker guard(&lock_);
    return image_.copy();
}

QtCanvas::Labels QtCanvas::labels() const {
    const QMutexLocker guard(&lock_);
    return labels_;
}

}  // namespace velt::veltview::gui
