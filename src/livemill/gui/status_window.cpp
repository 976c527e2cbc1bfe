#include "livemill/gui/status_window.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>

#include "conversion/stream_converter.h"
#include "gui_common/window_parts.h"
#include "platform/calendar.h"
#include "platform/clock.h"

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
    message_ = addField("message");
    waiting_ = new QCheckBox("wait for data", this);
    waiting_->setEnabled(false);
    waitingText_ = new QLabel(this);
    waitingText_->setObjectName("waitingText");

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
    top->addWidget(waiting_, 2, 2);
    top->addWidget(waitingText_, 2, 3);

    auto* input = new QGroupBox("Input data operated", this);
    auto* inputGrid = new QGridLayout(input);
    inputGrid->addWidget(new QLabel("File Number"), 0, 1);
    inputGrid->addWidget(new QLabel("Offset"), 0, 2);
    inputGrid->addWidget(new QLabel("saved (a restart goes on here)"), 1, 0);
    inputGrid->addWidget(fileNumber_, 1, 1);
    inputGrid->addWidget(offset_, 1, 2);
    inputGrid->addWidget(new QLabel("reading now"), 2, 0);
    inputGrid->addWidget(positionFile_, 2, 1);
    inputGrid->addWidget(positionOffset_, 2, 2);

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
    bottom->addWidget(new QLabel("FILELIST rows waiting", this));
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
    layout->addLayout(top);
    layout->addWidget(input);
    layout->addWidget(converted);
    layout->addLayout(bottom);
    layout->addWidget(message_);
    layout->addLayout(buttons);
    gui_common::addHelpMenu(*this, "&About livemill...", [this] { about(); });
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
    showLog(s);
    counter_->setText(number(s.rowsWaiting));
    positionFile_->setText(hex(s.positionFile));
    positionOffset_->setText(number(s.positionOffset));
    showWaiting(s);
}

void StatusWindow::showWaiting(const Slot& s) {
    waiting_->setChecked(s.waiting);
    // An input without new data looks for it again after the wait period.
    waitingText_->setText(s.waiting ? "no new data; looks again at " +
                                          formatTime(s.waitingSince + conversion::StreamConverter::kWaitPeriod, true)
                                              .left(8)
                                    : QString());
}

void StatusWindow::showLog(const Slot& s) {
    const bool problem = !s.problem.empty();
    log_->setText(QString::fromStdString(problem ? "not running: " + s.problem : s.log));
    log_->setStyleSheet(problem ? "background: #ffd0d0;" : "");
}

void StatusWindow::setSettingsProblems(const LivemillConfig& config, const std::vector<platform::SettingsProblem>& problems) {
    if (problems.empty()) return;
    QString text = "These settings are wrong; the inputs they belong to do not run, the others do:";
    for (const platform::SettingsProblem& p : problems) text += "\n" + QString::fromStdString(p.text());
    for (int n = 0; n < config.inputCount && n < kSlots; ++n) {
        if (!config.skipped[std::size_t(n)] || config.inputIni[std::size_t(n)].empty()) continue;
        // The input's first problem: one in its own file, or one naming it.
        const std::string& ini = config.inputIni[std::size_t(n)];
        for (const platform::SettingsProblem& p : problems) {
            if (p.file != ini && p.message.find(ini) == std::string::npos && p.text().find(ini) == std::string::npos)
                continue;
            slots_[std::size_t(n)].problem = p.text();
            break;
        }
        if (slots_[std::size_t(n)].problem.empty()) slots_[std::size_t(n)].problem = "its settings are wrong";
    }
    refreshAll();
    message_->setText("Settings problems: some inputs do not run (see the message)");
    problems_ = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    problems_->setObjectName("settingsProblems");
    problems_->setModal(false);
    problems_->show();
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
    slots_[std::size_t(input)].waitingSince = platform::systemClock().now();
    if (isSelected(input)) showWaiting(slots_[std::size_t(input)]);
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

void StatusWindow::apply(Report kind, int input, const Value& value) {
    const int64_t number = value.number;
    const char* text = value.text.c_str();
    switch (kind) {
        case Report::LastActive: setLastActive(input, number); break;
        case Report::InputFile: setInputFile(input, long(number)); break;
        case Report::Offset: setOffset(input, long(number)); break;
        case Report::Device: setDeviceNumber(input, long(number)); break;
        case Report::Config: setConfigNumber(input, long(number)); break;
        case Report::Block: setBlockNumber(input, long(number)); break;
        case Report::BlockTime: setLastBlockTime(input, number); break;
        case Report::Restart: setRestartNumber(input, long(number)); break;
        case Report::Waiting: setWaiting(input, int(number)); break;
        case Report::Position: setPosition(input, long(number), long(value.offset)); break;
        case Report::Station: setStationName(input, text); break;
        case Report::Log: logLine(input, text); break;
        case Report::RowsWaiting:
            if (accepts(input)) {
                slots_[std::size_t(input)].rowsWaiting = long(number);
                if (isSelected(input)) counter_->setText(QString::number(number));
            }
            break;
        case Report::Message: message_->setText(QString::fromStdString(value.text)); break;
        case Report::Count: break;
    }
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
    if (watcher_.closing()) return;
    stopQuestion_.ask([this] {
        live_ = false;
        stopRequested_.store(true);
        watcher_.closeWindow();
    });
}

void StatusWindow::stopAsked(gui_common::StopCause cause) {
    if (cause == gui_common::StopCause::Closed) {
        stop();
        return;
    }
    // A signal: nobody to answer. The worker stops in order (the signal set
    // the flag too) and closes the window when it has ended.
    stopQuestion_.withdraw();
    stopRequested_.store(true);
}

void StatusWindow::closeWithoutAsking() {
    live_ = false;
    stopQuestion_.withdraw();
    watcher_.closeWindow();
}

void StatusWindow::about() {
    QMessageBox box(this);
    box.setWindowTitle("About livemill");
    box.setText("livemill ");
    box.setInformativeText(gui_common::withVersion("ver.2.0  19/06/2007"));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace velt::livemill::gui
