#include "veltedit/gui/editor_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <clocale>
#include <cstdio>

#include "platform/log.h"
#include "platform/program.h"
#include "gui_common/window_parts.h"
#include "veltedit/editor_settings.h"

namespace velt::veltedit::gui {

namespace {

constexpr char kNotRead[] = "EEPROOM not readen";

/// What a Save's conversation hands back to the window.
struct SaveResult {
    bool reread = true;  // false: for a retry the station could not be read again
    bool proven = false;
    WriteBackReport report;
};

/// Texts of the station are bytes: one character per byte.
QString fromBytes(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }
std::string toBytes(const QString& s) { return s.toLatin1().toStdString(); }
/// The designed texts use CR LF; a label breaks at LF.
QString lines(const std::string& s) { return fromBytes(s).replace("\r\n", "\n"); }

QString chooseOpen(QWidget* parent) { return QFileDialog::getOpenFileName(parent, QString(), QDir::currentPath()); }

}  // namespace

ResponseFormDialog::ResponseFormDialog(ResponseForm& form, QWidget* parent) : QDialog(parent), form_(form) {
    setWindowTitle("Set Response Form");
    auto* grid = new QGridLayout(this);
    for (int i = 0; i < kMaxTables; ++i) {
        rows_[std::size_t(i)] = new QLineEdit(this);
        rows_[std::size_t(i)]->setReadOnly(true);
        views_[std::size_t(i)] = new QPushButton("View", this);  // no action attached
        sets_[std::size_t(i)] = new QPushButton("Set", this);
        grid->addWidget(rows_[std::size_t(i)], i, 0);
        grid->addWidget(views_[std::size_t(i)], i, 1);
        grid->addWidget(sets_[std::size_t(i)], i, 2);
        connect(sets_[std::size_t(i)], &QPushButton::clicked, this, [this, i] {
            form_.select(i);
            accept();
        });
    }
    load_ = new QPushButton("Load from file", this);
    auto* cancel = new QPushButton("Cancel", this);
    auto* ok = new QPushButton("OK", this);
    ok->setVisible(false);
    ok->setEnabled(false);
    grid->addWidget(load_, kMaxTables, 0);
    grid->addWidget(cancel, kMaxTables, 2);
    grid->addWidget(ok, kMaxTables, 1);
    connect(load_, &QPushButton::clicked, this, [this] {
        const QString path = chooseOpen(this);
        if (!path.isEmpty()) loadFile(path.toStdString());
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    refresh();
}

void ResponseFormDialog::loadFile(const std::string& path) {
    form_.loadFile(path);  // an empty, unreadable or too large file is ignored
    refresh();
}

QString ResponseFormDialog::rowText(int i) const { return i >= 0 && i < kMaxTables ? rows_[std::size_t(i)]->text() : QString(); }

void ResponseFormDialog::refresh() {
    for (int i = 0; i < kMaxTables; ++i) {
        const bool used = i < form_.tables().count();
        views_[std::size_t(i)]->setEnabled(used);
        sets_[std::size_t(i)]->setEnabled(used);
        rows_[std::size_t(i)]->setText(QString::fromStdString(form_.rowText(i)));
    }
    load_->setEnabled(form_.canLoad());
}

EditorWindow::EditorWindow(link::DeviceLink& link, Pacer& pacer, WriteBackFiles files)
    : link_(link),
      session_(link, pacer, this),
      files_(std::move(files)),
      noRestartQuestion_(*this, lines("This will cancel program,\r\n but VELT will not restart\r\nAre you sure?")) {
    setWindowTitle("VeltEdit v.2.5");
    auto* outer = new QVBoxLayout(this);
    form_ = new QWidget(this);
    outer->addWidget(form_);
    auto* grid = new QGridLayout(form_);
    grid->setContentsMargins(0, 0, 0, 0);
    int row = 0;
    auto label = [this, grid](const QString& text, int r, int c) { grid->addWidget(new QLabel(text, this), r, c); };

    label("Device number:", row, 0);
    device_ = field("device", true);
    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(device_);
    deviceRow->addWidget(new QLabel("h", this));
    grid->addLayout(deviceRow, row, 1);
    label("Restart Number:", row, 2);
    restart_ = field("restart", true);
    grid->addWidget(restart_, row, 3);
    label("Config Number:", row, 4);
    config_ = field("config", true);
    grid->addWidget(config_, row++, 5);

    label("Station name:", row, 0);
    station_ = field("station", false);  // no length limit: a longer text is reported, never cut
    grid->addWidget(station_, row, 1);
    label("SPS", row, 2);
    rate_ = new QComboBox(this);
    for (int i = 0; i < kRateEntries; ++i) rate_->addItem(rateText(i));
    grid->addWidget(rate_, row, 3);
    label("N of channels:", row, 4);
    channels_ = field("channels", true);
    grid->addWidget(channels_, row++, 5);

    label("Channels information", row++, 0);
    summary_ = new QPlainTextEdit(this);
    summary_->setObjectName("summary");
    summary_->setReadOnly(true);
    summary_->setMinimumHeight(90);
    grid->addWidget(summary_, row++, 0, 1, 6);

    label("Channel Number", row, 0);
    channelNumber_ = field("channelNumber", true);
    grid->addWidget(channelNumber_, row, 1);
    auto* prevButton = new QPushButton("Prev", this);
    auto* nextButton = new QPushButton("Next", this);
    grid->addWidget(prevButton, row, 2);
    grid->addWidget(nextButton, row++, 3);
    connect(prevButton, &QPushButton::clicked, this, &EditorWindow::prev);
    connect(nextButton, &QPushButton::clicked, this, &EditorWindow::next);

    label("Channel Name", row, 0);
    channelName_ = field("channelName", false);
    grid->addWidget(channelName_, row, 1);
    label("Sensor name/comment", row, 2);
    sensor_ = field("sensor", false);
    grid->addWidget(sensor_, row++, 3);

    label("Calib", row, 0);
    calib_ = field("calib", false);
    grid->addWidget(calib_, row, 1);
    units_ = new QComboBox(this);
    for (int i = 0; i < kUnitsEntries; ++i) units_->addItem(unitsText(i));
    grid->addWidget(units_, row, 2);
    label("Calper", row, 3);
    calper_ = field("calper", false);
    auto* calperRow = new QHBoxLayout;
    calperRow->addWidget(calper_);
    calperRow->addWidget(new QLabel("sec.", this));
    grid->addLayout(calperRow, row++, 4, 1, 2);

    label("Response form", row, 0);
    response_ = field("response", true);
    grid->addWidget(response_, row, 1);
    clearResponse_ = new QPushButton("Clear response", this);  // no action attached
    setResponse_ = new QPushButton("Set Response", this);
    grid->addWidget(clearResponse_, row, 2);
    grid->addWidget(setResponse_, row++, 3);
    connect(setResponse_, &QPushButton::clicked, this, &EditorWindow::setResponse);

    auto* pulse = new QGroupBox("Pulse Calibration", this);
    auto* pulseRow = new QHBoxLayout(pulse);
    pulseRow->addWidget(new QLabel("N of Items", pulse));
    pulseItems_ = field("pulseItems", true);
    pulseRow->addWidget(pulseItems_);
    auto* pulseSave = new QPushButton("Save", pulse);
    auto* pulseLoad = new QPushButton("Load", pulse);
    pulseRow->addWidget(pulseSave);
    pulseRow->addWidget(pulseLoad);
    grid->addWidget(pulse, row, 0, 1, 3);
    connect(pulseSave, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QString(), QDir::currentPath());
        if (!path.isEmpty()) savePulse(path.toStdString());
    });
    connect(pulseLoad, &QPushButton::clicked, this, [this] {
        const QString path = chooseOpen(this);
        if (!path.isEmpty()) loadPulse(path.toStdString());
    });

    // Filled and read back on Save, but never shown.
    phaseLoopGroup_ = new QGroupBox("Phloop parameters", this);
    auto* loopRow = new QHBoxLayout(phaseLoopGroup_);
    phaseLoop_ = field("phaseLoop", false);
    phaseLoopFlag_ = new QCheckBox(phaseLoopGroup_);
    loopRow->addWidget(phaseLoop_);
    loopRow->addWidget(phaseLoopFlag_);
    phaseLoopGroup_->setVisible(false);
    phaseLoopGroup_->setEnabled(false);
    grid->addWidget(phaseLoopGroup_, row++, 3, 1, 3);

    state_ = new QLabel(this);
    state_->setObjectName("state");
    state_->setWordWrap(true);
    outer->addWidget(state_);
    saveButton_ = new QPushButton("Save", this);
    saveButton_->setDefault(true);
    auto* cancelButton = new QPushButton("Cancel", this);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    noRestart_ = new QPushButton("Cancel without restart VELT", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(saveButton_);
    buttons->addWidget(cancelButton);
    buttons->addWidget(status_, 1);
    buttons->addWidget(noRestart_);
    outer->addLayout(buttons);
    connect(saveButton_, &QPushButton::clicked, this, &EditorWindow::save);
    connect(cancelButton, &QPushButton::clicked, this, &EditorWindow::cancel);
    connect(noRestart_, &QPushButton::clicked, this, [this] {
        if (busy()) return;
        noRestartQuestion_.ask([this] {
            if (!busy()) finish();
        });
    });
    gui_common::addHelpMenu(*this, "&About VeltEdit...",
                            [this] { QMessageBox::about(this, "About VeltEdit", gui_common::withVersion("VeltEdit Version 1.0")); });

    showAll();
}

QLineEdit* EditorWindow::field(const QString& name, bool readOnly) {
    auto* f = new QLineEdit(this);
    f->setObjectName(name);
    f->setReadOnly(readOnly);
    f->setMinimumWidth(120);
    return f;
}

QString EditorWindow::text(const QString& name) const {
    if (name == "summary") return summary_->toPlainText();
    if (name == "rate") return rate_->currentText();
    if (name == "units") return units_->currentText();
    if (name == "title") return windowTitle();
    if (name == "notice") return notice_ != nullptr && notice_->isVisible() ? notice_->text() : QString();
    if (auto* l = findChild<QLabel*>(name)) return l->text();
    if (auto* f = findChild<QLineEdit*>(name)) return f->text();
    return QString();
}

void EditorWindow::showStatus(const std::string& text) { status_->setText(QString::fromStdString(text)); }

template <typename Job, typename Done>
void EditorWindow::run(Job job, Done done) {
    if (busy()) return;
    for (QWidget* w : {form_, static_cast<QWidget*>(saveButton_), static_cast<QWidget*>(noRestart_)}) w->setEnabled(false);
    worker_.start(job, [this, done](const auto& result) {
        for (QWidget* w : {form_, static_cast<QWidget*>(saveButton_), static_cast<QWidget*>(noRestart_)})
            w->setEnabled(true);
        if (cancelPending_) {
            cancelPending_ = false;
            session_.clearStop();
            cancel();
            return;
        }
        done(result);
    });
}

void EditorWindow::start() {
    run([this] { return session_.connect(); }, [this](bool read) { connected(read); });
}

void EditorWindow::connected(bool read) {
    if (read) editor_.load(session_.editImage());
    else editor_.clear();
    failed_ = !read;
    showAll();
    status_->setText(read ? QString() : QString(kNotRead));
    if (read) {
        state_->setText("The station is stopped while this window is open: Save or Cancel restarts it.");
    } else if (session_.linkLost()) {
        const QString why = "The link was lost: " + QString::fromStdString(session_.linkError());
        VELT_LOG_ERROR("veltedit", "%s", why.toUtf8().constData());
        state_->setText(why + ". Cancel ends the program.");
        notify(why + ".");
    } else {
        state_->setText("The station did not send its EEPROM image and may be stopped: Cancel restarts it.");
    }
}

void EditorWindow::showAll() {
    const bool read = session_.imageRead();
    const StationParameters& p = editor_.parameters();
    char text[32];
    std::snprintf(text, sizeof text, "%4.4X", unsigned(p.device));
    device_->setText(read ? text : "");
    restart_->setText(read ? QString::number(p.restartNumber) : "");
    config_->setText(read ? QString::number(p.configNumber) : "");
    station_->setText(read ? fromBytes(p.station) : "");
    rate_->setCurrentIndex(read ? p.rateIndex() : -1);
    channels_->setText(read ? QString::number(p.channelCount) : "");
    pulseItems_->setText(read ? QString::number(session_.editImage()[kPulseCount]) : "");
    const StationFields s = editor_.stationFields();
    phaseLoop_->setText(read ? QString::fromStdString(s.phaseLoop) : "");
    phaseLoopFlag_->setChecked(read && s.phaseLoopFlag);
    showChannel();
}

void EditorWindow::showChannel() {
    const ChannelFields f = editor_.channelFields();
    channelNumber_->setText(QString::fromStdString(f.number));
    channelName_->setText(fromBytes(f.name));
    sensor_->setText(fromBytes(f.sensor));
    calib_->setText(QString::fromStdString(f.calibration));
    calper_->setText(QString::fromStdString(f.period));
    units_->setCurrentIndex(f.unitsIndex);
    response_->setText(QString::fromStdString(editor_.responseText()));
    const bool has = editor_.hasChannel();
    const bool table = has && editor_.parameters().channels[std::size_t(editor_.current())].responseAddress != 0;
    clearResponse_->setEnabled(table);
    setResponse_->setEnabled(has && !table);
    summary_->setPlainText(lines(channelSummary(editor_.parameters())));
}

ChannelFields EditorWindow::channelFields() const {
    ChannelFields f;
    f.number = channelNumber_->text().toStdString();
    f.name = toBytes(channelName_->text());
    f.sensor = toBytes(sensor_->text());
    f.calibration = calib_->text().toStdString();
    f.period = calper_->text().toStdString();
    f.unitsIndex = units_->currentIndex();
    return f;
}

StationFields EditorWindow::stationFields() const {
    StationFields s;
    s.station = toBytes(station_->text());
    s.rateIndex = rate_->currentIndex();
    s.phaseLoop = phaseLoop_->text().toStdString();
    s.phaseLoopFlag = phaseLoopFlag_->isChecked();
    return s;
}

void EditorWindow::prev() {
    if (busy() || !accepted(editor_.prev(channelFields()))) return;
    showChannel();
}

void EditorWindow::next() {
    if (busy() || !accepted(editor_.next(channelFields()))) return;
    showChannel();
}

bool EditorWindow::accepted(const FieldProblems& given) {
    FieldProblems problems = given;
    // A character the station's one-byte texts cannot hold would become '?'.
    for (QLineEdit* f : {station_, channelName_, sensor_}) {
        for (const QChar c : f->text()) {
            if (c.unicode() > 0xFF) {
                problems.push_back(FieldProblem{f->objectName().toStdString(),
                                                "\"" + f->text().toStdString() + "\" has a character the station cannot keep"});
                break;
            }
        }
    }
    for (QLineEdit* f : findChildren<QLineEdit*>()) f->setStyleSheet(QString());
    if (problems.empty()) return true;
    QString text = "Nothing was saved or taken over; please correct:";
    for (const FieldProblem& p : problems) {
        if (auto* f = findChild<QLineEdit*>(QString::fromStdString(p.control))) f->setStyleSheet("background: #ffd0d0;");
        text += "\n" + QString::fromStdString(p.message);
    }
    if (auto* first = findChild<QLineEdit*>(QString::fromStdString(problems.front().control))) first->setFocus();
    status_->setText(QString::fromStdString(problems.front().message));
    notify(text);
    return false;
}

void EditorWindow::notify(const QString& text) {
    if (notice_ == nullptr) {
        notice_ = new QMessageBox(QMessageBox::Warning, windowTitle(), QString(), QMessageBox::Ok, this);
        notice_->setObjectName("notice");
        notice_->setModal(false);
    }
    notice_->setText(text);
    notice_->show();
}

void EditorWindow::save() {
    if (busy() || finished_) return;
    if (!session_.imageRead()) {
        // Nothing was read, so nothing may be written: only the restart.
        run(
            [this] {
                session_.restart();
                return 0;
            },
            [this](int) { finish(); });
        return;
    }
    if (!accepted(editor_.encode(stationFields(), channelFields(), session_.editImage()))) return;
    run(
        [this] {
            SaveResult r;
            if (retry_ && !session_.reread()) {
                r.report.linkLost = session_.linkLost();
                r.report.linkError = r.report.linkLost ? session_.linkError() : std::string();
                r.reread = false;
                return r;
            }
            r.proven = session_.commit(files_, r.report);
            if (r.proven) session_.restart();
            return r;
        },
        [this](const SaveResult& r) {
            if (r.reread) {
                saved(r.proven, r.report);
                return;
            }
            const QString why = r.report.linkLost ? QString::fromStdString(r.report.linkError)
                                                  : QString("the station did not send its image");
            VELT_LOG_ERROR("veltedit", "Save: cannot read the station again: %s", why.toUtf8().constData());
            status_->setText("Save failed");
            notify("Nothing was written: cannot read the station again (" + why +
                   ").\nSave tries again; Cancel restarts the station as it is; \"Cancel without restart VELT\" "
                   "leaves it stopped.");
        });
}

void EditorWindow::saved(bool proven, const WriteBackReport& report) {
    failed_ = !proven;
    if (proven) {
        finish();
        return;
    }
    retry_ = true;
    const std::string what = report.describe(files_);
    VELT_LOG_ERROR("veltedit", "Save: %s", what.c_str());
    status_->setText("Save failed: the station is stopped");
    state_->setText("The station is stopped and may not hold what you saved.");
    notify(QString::fromStdString(what) +
           "\n\nSave tries again (it connects again when the link was lost) and writes what is still missing; "
           "Cancel restarts the station as it is; \"Cancel without restart VELT\" leaves it stopped.");
}

void EditorWindow::interrupt() {
    if (finished_) return;
    noRestartQuestion_.withdraw();  // a signal, not a person: nobody to answer
    interrupted_ = true;
    std::fprintf(stderr, "veltedit: interrupted; the station is sent \"RST\"\n");
    cancel();
}

void EditorWindow::cancel() {
    if (finished_) return;
    if (busy()) {
        // The running conversation ends at its next step (a value being
        // written is finished first); the restarts follow.
        cancelPending_ = true;
        session_.requestStop();
        status_->setText("cancelling");
        return;
    }
    run(
        [this] {
            // The restarts must reach the station: a link that dropped is opened again.
            if (session_.linkLost() && !session_.reopen()) return false;
            session_.cancel();
            return true;
        },
        [this](bool sent) {
            if (sent) {
                finish();
                return;
            }
            const QString why = QString::fromStdString(session_.linkError());
            VELT_LOG_ERROR("veltedit", "cannot restart the station: %s", why.toUtf8().constData());
            failed_ = true;
            if (interrupted_) {
                finish();
                return;
            }
            status_->setText("the station was not restarted");
            notify("Cannot reach the station to restart it: " + why +
                   "\nCancel tries again; \"Cancel without restart VELT\" ends the program and leaves it stopped.");
        });
}

void EditorWindow::finish() {
    finished_ = true;
    watcher_.closeWindow();
}

void EditorWindow::setResponse() {
    if (busy() || !editor_.hasChannel()) return;
    ResponseForm form(editor_.parameters().responses, session_.editImage());
    ResponseFormDialog dialog(form, this);
    dialog.exec();
    applyResponseForm(form);
}

void EditorWindow::applyResponseForm(const ResponseForm& form) {
    editor_.applyResponseForm(form, session_.editImage());
    showChannel();
}

void EditorWindow::savePulse(const std::string& path) {
    if (busy() || !session_.imageRead()) return;
    if (savePulseFile(path, session_.editImage()) != 0)
        QMessageBox::warning(this, windowTitle(), "Cannot write " + QString::fromStdString(path));
}

void EditorWindow::loadPulse(const std::string& path) {
    if (busy() || !session_.imageRead()) return;
    loadPulseFile(path, session_.editImage());
    pulseItems_->setText(QString::number(session_.editImage()[kPulseCount]));
}

int runEditorWindow(int argc, char** argv) {
    QApplication app(argc, argv);
    // Qt switches the program to the desktop's locale; calibration values
    // are read and shown in C notation whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    const std::string ini = platform::inWorkingFolder(kIniName);
    const platform::SettingsCheck check = checkSettings(ini);
    if (!check.ok()) {
        for (const platform::SettingsProblem& p : check.problems()) std::fprintf(stderr, "veltedit: %s\n", p.text().c_str());
        std::fprintf(stderr, "Connect stream not found\n");
        return gui_common::showSettingsProblems(argc, argv, "VeltEdit v.2.5", check.text() + "Connect stream not found\n");
    }
    const EditorSettings settings = readSettings(ini);
    if (QMessageBox::question(nullptr, "VeltEdit v.2.5", lines(terminateQuestion(settings)),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return 0;
    EditorConnection connection = chooseLink(settings);
    if (connection.link == nullptr) {
        std::fprintf(stderr, "Connect stream not found\n");
        QMessageBox::warning(nullptr, "VeltEdit v.2.5", "Connect stream not found");
        return 2;
    }
    if (connection.link->open() != 0) {
        const std::string why = "cannot open " + settings.device + ": " + connection.link->lastError();
        VELT_LOG_ERROR("veltedit", "%s; nothing was sent", why.c_str());
        QMessageBox::critical(nullptr, "VeltEdit v.2.5", QString::fromStdString(why) + "\nNothing was sent to the station.");
        return 1;
    }
    // SIGINT and SIGTERM end the conversation as Cancel does (the window's
    // stop watcher): the station is restarted.
    platform::StopSignals::install();
    SystemPacer pacer;
    int status = 0;
    {
        EditorWindow window(*connection.link, pacer);
        window.show();
        window.start();
        app.exec();
        status = window.finished() ? window.exitStatus() : 1;
    }
    connection.link->close();
    return status;
}

}  // namespace velt::veltedit::gui
