#include "livemill/gui/status_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <cstdint>

#include "platform/calendar.h"

namespace velt::livemill::gui {

QString formatTime(int64_t seconds, bool local) {
    const platform::CivilTime t = local ? platform::localFromSeconds(seconds) : platform::utcFromSeconds(seconds);
    return QString::asprintf("%2.2d:%2.2d:%2.2d %2.2d/%2.2d/%2.2d", t.hour, t.minute, t.second, t.day, t.month,
                             t.year % 100);
}

namespace {
QString number(long v) { return QString::asprintf("%ld", v); }
// File numbers are the recorder's 32-bit values: -1 reads FFFFFFFF, not 16 digits.
QString hex(long v) { return QString::asprintf("%X", unsigned(uint32_t(v))); }
std::string cut(const char* text) {
    std::string s = text ? text : "";
    if (s.size() > std::size_t(StatusWindow::kTextChars - 1)) s.resize(StatusWindow::kTextChars - 1);
    return s;
}
}  // namespace

QLineEdit* StatusWindow::addField(const char* name) {
    auto* field = new QLineEdit(this);
    field->setReadOnly(true);
    field->setObjectName(name);
    return field;
}

StatusWindow::StatusWindow(std::atomic<bool>& stopRequested, QWidget* parent)
    : QDialog(parent), stopRequested_(stopRequested) {
    setWindowTitle("VELT rt converter ver.2.5.");
    confirm_ = [this](const QString& question) {
        return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };

    threads_ = addField("threads");
    startTimeField_ = addField("startTime");
    threadNumber_ = addField("threadNumber");
    lastActive_ = addField("lastActive");
    fileNumber_ = addField("fileNumber");
    offset_ = addField("offset");
    positionFile_ = addField("positionFile");
    positionOffset_ = addField("positionOffset");
    device_ = addField("device");
    config_ = addField("config");
    blockNumber_ = addField("blockNumber");
    blockTime_ = addField("blockTime");
    restart_ = addField("restart");
    station_ = addField("station");
    log_ = addField("log");
    counter_ = addField("counter");
    waiting_ = new QCheckBox("wait for data", this);
    waiting_->setEnabled(false);

    // No system menu on every desktop: the About entry lives in a menu bar.
    auto* menuBar = new QMenuBar(this);
    auto* help = menuBar->addMenu("&Help");
    help->addSeparator();
    help->addAction("&About livemill...", this, &StatusWindow::about);

    auto* top = new QGridLayout;
    top->addWidget(new QLabel("Threads"), 0, 0);
    top->addWidget(threads_, 0, 1);
    top->addWidget(new QLabel("Start time"), 0, 2);
    top->addWidget(startTimeField_, 0, 3);
    auto* prev = new QPushButton("Prev", this);
    auto* next = new QPushButton("Next", this);
    prev->setAutoDefault(false);
    next->setAutoDefault(false);
    connect(prev, &QPushButton::clicked, this, &StatusWindow::previous);
    connect(next, &QPushButton::clicked, this, &StatusWindow::next);
    top->addWidget(prev, 1, 0);
    top->addWidget(next, 1, 1);
    top->addWidget(new QLabel("Thread number"), 1, 2);
    top->addWidget(threadNumber_, 1, 3);
    top->addWidget(new QLabel("Last active time"), 2, 0);
    top->addWidget(lastActive_, 2, 1);
    top->addWidget(waiting_, 2, 2, 1, 2);

    auto* input = new QGroupBox("Input data operated", this);
    auto* inputGrid = new QGridLayout(input);
    inputGrid->addWidget(new QLabel("File Number"), 0, 0);
    inputGrid->addWidget(new QLabel("Offset"), 0, 1);
    inputGrid->addWidget(fileNumber_, 1, 0);
    inputGrid->addWidget(offset_, 1, 1);
    inputGrid->addWidget(positionFile_, 2, 0);
    inputGrid->addWidget(positionOffset_, 2, 1);

    auto* converted = new QGroupBox("Converted data", this);
    auto* convGrid = new QGridLayout(converted);
    convGrid->addWidget(new QLabel("Device num."), 0, 0);
    convGrid->addWidget(device_, 0, 1);
    convGrid->addWidget(new QLabel("Config num."), 1, 0);
    convGrid->addWidget(config_, 1, 1);
    convGrid->addWidget(new QLabel("Last block: num."), 2, 0);
    convGrid->addWidget(blockNumber_, 2, 1);
    convGrid->addWidget(new QLabel("time"), 2, 2);
    convGrid->addWidget(blockTime_, 2, 3);
    convGrid->addWidget(new QLabel("Restatr num."), 3, 0);
    convGrid->addWidget(restart_, 3, 1);
    convGrid->addWidget(new QLabel("Station Name"), 4, 0);
    convGrid->addWidget(station_, 4, 1, 1, 3);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(log_, 4);
    bottom->addWidget(counter_, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* stopButton = new QPushButton("Stop", this);
    stopButton->setDefault(true);
    connect(stopButton, &QPushButton::clicked, this, &StatusWindow::stop);
    buttons->addWidget(stopButton);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setEnabled(false);
    cancel->setVisible(false);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addLayout(top);
    layout->addWidget(input);
    layout->addWidget(converted);
    layout->addLayout(bottom);
    layout->addLayout(buttons);
    setMinimumWidth(520);
}

void StatusWindow::setInputCount(int count) {
    inputCount_ = count < 0 ? 0 : (count > kSlots ? kSlots : count);
    threads_->setText(number(inputCount_));
}

void StatusWindow::openWindow(int64_t startTime) {
    for (auto& slot : slots_) slot = Slot{};
    selected_ = 0;
    startTime_ = startTime;
    threads_->setText(number(inputCount_));
    startTimeField_->setText(formatTime(startTime_, true));
    refreshAll();
    live_ = true;
}

void StatusWindow::refreshAll() {
    const Slot& s = slots_[std::size_t(selected_)];
    threadNumber_->setText(number(selected_ + 1));
    lastActive_->setText(formatTime(s.lastActive, true));
    fileNumber_->setText(hex(s.inputFile));
    offset_->setText(number(s.offset));
    device_->setText(number(s.device));
    config_->setText(number(s.config));
    blockNumber_->setText(number(s.block));
    blockTime_->setText(formatTime(s.blockTime, false));
    restart_->setText(number(s.restart));
    station_->setText(QString::fromLatin1(s.station.c_str()));
    log_->setText(QString::fromLatin1(s.log.c_str()));
    counter_->setText(QStringLiteral("0"));  // nothing reports a counter; the field keeps its place
    positionFile_->setText(hex(s.positionFile));
    positionOffset_->setText(number(s.positionOffset));
    waiting_->setChecked(s.waiting);
}

void StatusWindow::setLastActive(int input, int64_t seconds) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].lastActive = seconds;
    if (isSelected(input)) lastActive_->setText(formatTime(seconds, true));
}
void StatusWindow::setInputFile(int input, long file) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].inputFile = file;
    if (isSelected(input)) fileNumber_->setText(hex(file));
}
void StatusWindow::setOffset(int input, long offset) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].offset = offset;
    if (isSelected(input)) offset_->setText(number(offset));
}
void StatusWindow::setDeviceNumber(int input, long value) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].device = value;
    if (isSelected(input)) device_->setText(number(value));
}
void StatusWindow::setConfigNumber(int input, long value) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].config = value;
    if (isSelected(input)) config_->setText(number(value));
}
void StatusWindow::setBlockNumber(int input, long value) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].block = value;
    if (isSelected(input)) blockNumber_->setText(number(value));
}
void StatusWindow::setLastBlockTime(int input, int64_t seconds) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].blockTime = seconds;
    if (isSelected(input)) blockTime_->setText(formatTime(seconds, false));
}
void StatusWindow::setRestartNumber(int input, long value) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].restart = value;
    if (isSelected(input)) restart_->setText(number(value));
}
void StatusWindow::setWaiting(int input, int flag) {
    if (!accepts(input) || slots_[std::size_t(input)].waiting == (flag != 0)) return;
    slots_[std::size_t(input)].waiting = flag != 0;
    if (isSelected(input)) waiting_->setChecked(flag != 0);
}
void StatusWindow::setPosition(int input, long file, long offset) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].positionFile = file;
    slots_[std::size_t(input)].positionOffset = offset;
    if (isSelected(input)) {
        positionFile_->setText(hex(file));
        positionOffset_->setText(number(offset));
    }
}
void StatusWindow::setStationName(int input, const char* name) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].station = cut(name);
    if (isSelected(input)) station_->setText(QString::fromLatin1(slots_[std::size_t(input)].station.c_str()));
}
void StatusWindow::logLine(int input, const char* text) {
    if (!accepts(input)) return;
    slots_[std::size_t(input)].log = cut(text);
    if (isSelected(input)) log_->setText(QString::fromLatin1(slots_[std::size_t(input)].log.c_str()));
}

QString StatusWindow::fieldText(const char* name) const {
    if (auto* field = findChild<QLineEdit*>(name)) return field->text();
    return {};
}

void StatusWindow::previous() {
    if (inputCount_ <= 0) return;
    selected_ = selected_ == 0 ? inputCount_ - 1 : selected_ - 1;
    refreshAll();
}

void StatusWindow::next() {
    if (inputCount_ <= 0) return;
    selected_ = selected_ >= inputCount_ - 1 ? 0 : selected_ + 1;
    refreshAll();
}

void StatusWindow::stop() {
    if (closing_) return;
    if (!confirm_(kStopQuestion)) return;
    live_ = false;
    stopRequested_.store(true);
    QThread::msleep(10);
    closing_ = true;
    close();
}

void StatusWindow::closeWithoutAsking() {
    live_ = false;
    closing_ = true;
    close();
}

void StatusWindow::about() {
    QMessageBox box(this);
    box.setWindowTitle("About livemill");
    box.setText("livemill ");
    box.setInformativeText("ver.2.0  19/06/2007");
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void StatusWindow::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    // A close that bypasses Stop must still stop the worker: ask the same question.
    event->ignore();
    stop();
}

void StatusWindow::reject() { stop(); }

}  // namespace velt::livemill::gui
