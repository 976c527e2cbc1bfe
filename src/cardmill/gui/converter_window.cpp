#include "cardmill/gui/converter_window.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "gui_common/window_parts.h"

namespace velt::cardmill::gui {

namespace {

QLineEdit* field(QWidget* parent, const char* caption, int y, const char* name) {
    auto* label = new QLabel(caption, parent);
    label->setGeometry(330, y + 3, 150, 18);
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setReadOnly(true);
    box->setGeometry(480, y, 300, 24);
    return box;
}

QPushButton* button(QWidget* parent, const char* caption, int x, int y, int w = 150) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(caption);
    b->setGeometry(x, y, w, 28);
    return b;
}

}  // namespace

ConverterWindow::ConverterWindow(std::string iniPath) : iniPath_(std::move(iniPath)) {
    setWindowTitle("VELT archive file converter");
    QWidget* page = gui_common::addFixedPage(*this, QSize(800, 420));
    gui_common::addHelpMenu(*this, "&About cardmill...",
                            [this] { QMessageBox::about(this, windowTitle(), gui_common::withVersion("cardmill Version 1.0")); });
    list_ = new QListWidget(page);
    list_->setObjectName("devices");
    list_->setSelectionMode(QAbstractItemView::MultiSelection);
    list_->setGeometry(10, 10, 300, 330);
    inDir_ = field(page, "Input data directory", 10, "inDir");
    archDir_ = field(page, "Archive directory", 44, "archDir");
    outDir_ = field(page, "Output directory", 78, "outDir");
    seconds_ = field(page, "Seconds in file", 112, "seconds");
    read_ = button(page, "Read Device List", 330, 160);
    start_ = button(page, "Start convertion", 490, 160);
    abort_ = button(page, "Abort convertion", 650, 160, 140);
    status_ = new QLabel(page);
    status_->setObjectName("status");
    status_->setGeometry(330, 210, 460, 20);
    progress_ = new QLabel(page);
    progress_->setObjectName("progress");
    progress_->setGeometry(330, 236, 460, 20);
    exit_ = button(page, "Exit", 690, 380, 100);
    exit_->setDefault(true);
    start_->setEnabled(false);
    abort_->setEnabled(false);

    connect(read_, &QPushButton::clicked, this, [this] {
        readSettings();
        readDeviceList();
    });
    connect(list_, &QListWidget::itemSelectionChanged, this,
            [this] { start_->setEnabled(!converting() && !list_->selectedItems().isEmpty()); });
    connect(start_, &QPushButton::clicked, this, &ConverterWindow::startConversion);
    connect(abort_, &QPushButton::clicked, this, &ConverterWindow::abortConversion);
    connect(exit_, &QPushButton::clicked, this, &QWidget::close);
    readSettings();
}

ConverterWindow::~ConverterWindow() {
    abortRequested_.store(true);  // the worker's thread is joined on the way out
}

void ConverterWindow::readSettings() {
    settings_ = readCardmillSettings(iniPath_);
    inDir_->setText(QString::fromStdString(settings_.dataInDir));
    archDir_->setText(QString::fromStdString(settings_.dataArchDir));
    outDir_->setText(QString::fromStdString(settings_.fourIntDir));
    seconds_->setText(QString::number(settings_.secondsInFile));
}

void ConverterWindow::readDeviceList() {
    CardDirectory dir;
    devices_.clear();
    list_->clear();
    start_->setEnabled(false);
    const std::string problem = settingsProblem(iniPath_, settings_, true);
    if (!problem.empty()) {
        status_->setText(QString::fromStdString(problem));
        status_->setToolTip(status_->text());
        return;
    }
    std::vector<DeviceRange> notListed;
    if (dir.scan(settings_.dataInDir) == 0) devices_ = listDevices(dir, &notListed);
    for (const DeviceRange& d : devices_) list_->addItem(QString::fromStdString(deviceLine(d)));
    QString note;
    if (!notListed.empty()) {
        QStringList numbers;
        for (const DeviceRange& d : notListed) numbers << QString::number(d.device);
        note = QString("%1 more devices not listed (the list holds %2): %3; cardmill --headless --devices converts them")
                   .arg(notListed.size())
                   .arg(kMaxDevices)
                   .arg(numbers.join(", "));
    } else if (devices_.empty()) {
        note = QString("No card-archive files in %1").arg(QString::fromStdString(settings_.dataInDir));
    }
    status_->setText(note);
    status_->setToolTip(note);  // the whole text when the line is too short for it
}

void ConverterWindow::startConversion() {
    std::vector<DeviceRange> selected;
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->isSelected()) selected.push_back(devices_[std::size_t(i)]);
    if (selected.empty() || converting()) return;
    for (QPushButton* b : {start_, read_, exit_}) b->setEnabled(false);
    abort_->setEnabled(true);
    abortRequested_.store(false);
    copyStop_.store(false);
    copyShown_ = -1;
    worker_.start(
        [this, selected, settings = settings_] {
            CopyControl control;
            control.stopAfterFile = &copyStop_;
            convertDevices(settings, selected, abortRequested_, *this, control);
        },
        [this] { conversionEnded(); });
}

void ConverterWindow::showCopy(const CopyProgress& p) {
    if (p.file.empty() || p.filesDone == copyShown_) return;
    copyShown_ = p.filesDone;
    showProgress("Copy to archive: file " + std::to_string(p.filesDone + 1) + " of " + std::to_string(p.files) +
                 "  " + p.file.substr(p.file.find_last_of('/') + 1));
}

void ConverterWindow::showLine(Line line, const std::string& text) {
    (line == Line::Status ? status_ : progress_)->setText(QString::fromStdString(text));
}

void ConverterWindow::abortConversion() {
    abortRequested_.store(true);
    if (copying_.load()) copyStop_.store(true);
}

void ConverterWindow::conversionEnded() {
    abort_->setEnabled(false);
    read_->setEnabled(true);
    exit_->setEnabled(true);
    // Start stays off until the selection changes.
    if (closeWhenDone_) watcher_.closeWindow();
}

void ConverterWindow::stopSoon() {
    abortConversion();
    closeWhenDone_ = true;
    if (!converting()) watcher_.closeWindow();
}

void ConverterWindow::stopAsked(gui_common::StopCause cause) {
    if (cause == gui_common::StopCause::Signal) stopSoon();
    else if (!converting()) watcher_.closeWindow();  // Exit is disabled while converting: Abort first
}

QString ConverterWindow::text(const QString& name) const {
    if (name == "devices") {
        QStringList lines;
        for (int i = 0; i < list_->count(); ++i) lines << list_->item(i)->text();
        return lines.join('\n');
    }
    if (auto* box = findChild<QLineEdit*>(name)) return box->text();
    if (auto* label = findChild<QLabel*>(name)) return label->text();
    return {};
}

int runWindow(int& argc, char** argv, const std::string& iniPath) {
    QApplication app(argc, argv);
    ConverterWindow window(iniPath);
    window.show();
    return app.exec();
}

}  // namespace velt::cardmill::gui
