#include "gui_common/window_parts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLayout>
#include <QMenuBar>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

#include "platform/program.h"

namespace velt::gui_common {

void addHelpMenu(QWidget& window, const QString& entry, std::function<void()> about) {
    auto* bar = new QMenuBar(&window);
    bar->addMenu("&Help")->addAction(entry, &window, std::move(about));
    window.layout()->setMenuBar(bar);
}

QWidget* addFixedPage(QWidget& window, QSize size) {
    auto* page = new QWidget(&window);
    page->setFixedSize(size);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(page);
    return page;
}

QString withVersion(const QString& about) {
    return about + "\n\nVELT station software " + QString::fromLatin1(platform::programVersion());
}

int showSettingsProblems(int& argc, char** argv, const QString& title, const std::string& text) {
    std::unique_ptr<QApplication> app;
    if (QApplication::instance() == nullptr) app = std::make_unique<QApplication>(argc, argv);
    QMessageBox::critical(nullptr, title,
                          "The settings are wrong, nothing was started:\n" + QString::fromStdString(text));
    return platform::kExitUsage;
}

Question::Question(QWidget& window, QString text, QMessageBox::StandardButton preferred)
    : window_(window), text_(std::move(text)), preferred_(preferred) {}

void Question::ask(std::function<void()> onYes) {
    if (showing()) {
        box_->raise();
        box_->activateWindow();
        return;
    }
    withdraw();
    auto* box = new QMessageBox(QMessageBox::Question, window_.windowTitle(), text_,
                                QMessageBox::Yes | QMessageBox::No, &window_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (preferred_ != QMessageBox::NoButton) box->setDefaultButton(preferred_);
    QObject::connect(box, &QMessageBox::buttonClicked, &window_, [box, onYes = std::move(onYes)](QAbstractButton* b) {
        if (box->standardButton(b) == QMessageBox::Yes) onYes();
    });
    box_ = box;
    box->open();
}

void Question::withdraw() {
    if (box_.isNull()) return;
    box_->disconnect(&window_);
    box_->hide();
    box_->deleteLater();
    box_ = nullptr;
}

}  // namespace velt::gui_common
