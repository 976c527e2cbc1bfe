#include "cardmill/gui/converter_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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
    setFixedSize(800, 420);
    list_ = new QListWidget(this);
    list_->setObjectName("devices");
    list_->setSelectionMode(QAbstractItemView::MultiSelection);
    list_->setGeometry(10, 10, 300, 330);
    inDir_ = field(this, "Input data directory", 10, "inDir");
    archDir_ = field(this, "Archive directory", 44, "archDir");
    outDir_ = field(this, "Output directory", 78, "outDir");
    seconds_ = field(this, "Seconds in file", 112, "seconds");
    read_ = button(this, "Read Device List", 330, 160);
    start_ = button(this, "Start convertion", 490, 160);
    abort_ = button(this, "Abort convertion", 650, 160, 140);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setGeometry(330, 210, 460, 20);
    progress_ = new QLabel(this);
    progress_->setObjectName("progress");
    progress_->setGeometry(330, 236, 460, 20);
    auto* about = button(this, "About", 330, 380, 100);
    exit_ = button(this, "Exit", 690, 380, 100);
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
    connect(about, &QPushButton::clicked, this,
            [this] { QMessageBox::about(this, windowTitle(), "cardmill Version 1.0"); });
    connect(exit_, &QPushButton::clicked, this, &QWidget::close);
    readSettings();
}

ConverterWindow::~ConverterWindow() {
    abortRequested_.store(true);
    if (worker_.joinable()) worker_.join();
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
    worker_ = std::thread([this, selected, settings = settings_] {
        CopyControl control;
        control.stopAfterFile = &copyStop_;
        convertDevices(settings, selected, abortRequested_, *this, control);
        QMetaObject::invokeMethod(this, [this] { conversionEnded(); }, Qt::QueuedConnection);
    });
}

void ConverterWindow::showCopy(const CopyProgress& p) {
    if (p.file.empty() || p.filesDone == copyShown_) return;
    copyShown_ = p.filesDone;
    post(1, "Copy to archive: file " + std::to_string(p.filesDone + 1) + " of " + std::to_string(p.files) + "  " +
                p.file.substr(p.file.find_last_of('/') + 1));
}

void ConverterWindow::abortConversion() {
    abortRequested_.store(true);
    if (copying_.load()) copyStop_.store(true);
}

void ConverterWindow::conversionEnded() {
    worker_.join();
    abort_->setEnabled(false);
    read_->setEnabled(true);
    exit_->setEnabled(true);
    // Start stays off until the selection changes.
    if (closeWhenDone_) close();
}

void ConverterWindow::stopSoon() {
    abortConversion();
    closeWhenDone_ = true;
    if (!converting()) close();
}

void ConverterWindow::post(int line, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    pending_[line] = text;
    if (queued_[line]) return;
    queued_[line] = true;
    QMetaObject::invokeMethod(
        this,
        [this, line] {
            std::string shown;
            {
                std::lock_guard<std::mutex> again(lock_);
                shown = pending_[line];
                queued_[line] = false;
            }
            (line == 0 ? status_ : progress_)->setText(QString::fromStdString(shown));
        },
        Qt::QueuedConnection);
}

void ConverterWindow::closeEvent(QCloseEvent* event) {
    if (converting()) {
        event->ignore();  // Exit is disabled while converting: Abort first
        return;
    }
    event->accept();
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

int runWindow(int& argc, char** argv, const std::string& iniPath, const std::atomic<bool>& stopRequested) {
    QApplication app(argc, argv);
    ConverterWindow window(iniPath);
    window.show();
    QTimer signalWatch;
    QObject::connect(&signalWatch, &QTimer::timeout, &window, [&] {
        if (stopRequested.load()) {
            signalWatch.stop();
            window.stopSoon();
        }
    });
    signalWatch.start(100);
    return app.exec();
}

}  // namespace velt::cardmill::gui
