// Parts every window has alike: the Help menu with the About entry, a page
// of fixed size for windows whose controls are placed by coordinates, and a
// Yes/No question that holds nobody while it waits for its answer.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QSize>
#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace velt::gui_common {

/// @brief Gives `window` (laid out by a layout) a menu bar with Help >
/// `entry`, which calls `about`.
void addHelpMenu(QWidget& window, const QString& entry, std::function<void()> about);

/// @brief A page of `size` filling `window`, for controls placed by
/// coordinates; the window keeps the page's size plus its menu bar.
QWidget* addFixedPage(QWidget& window, QSize size);

/// @brief An About text with the package's version under it ("VELT station
/// software 0.1.0"), the same number --version and the package show.
QString withVersion(const QString& about);

/// @brief Before any window or worker exists: shows the settings problems
/// `text` (one per line) in a box titled `title`, with a QApplication made
/// from `argc`/`argv` when there is none yet. @return exit status 2.
int showSettingsProblems(int& argc, char** argv, const QString& title, const std::string& text);

/// A Yes/No question over a window. The box is window-modal but holds
/// neither the window thread nor a worker: the program goes on and acts on
/// the answer when it comes.
class Question final {
public:
    /// @brief Asks `text` over `window` (not owned), titled as the window;
    /// `preferred` is the default button (none: Qt's choice).
    Question(QWidget& window, QString text, QMessageBox::StandardButton preferred = QMessageBox::NoButton);
    ~Question() { withdraw(); }
    Question(const Question&) = delete;
    Question& operator=(const Question&) = delete;

    /// @brief Shows the question, or brings it forward when it shows;
    /// `onYes` runs on the window thread when Yes is chosen.
    void ask(std::function<void()> onYes);
    /// @brief Takes the question away unanswered: nobody needs the answer any more.
    void withdraw();
    bool showing() const { return !box_.isNull() && box_->isVisible(); }

private:
    QWidget& window_;
    QString text_;
    QMessageBox::StandardButton preferred_;
    QPointer<QMessageBox> box_;
};

}  // namespace velt::gui_common
