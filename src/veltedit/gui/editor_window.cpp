#include "veltedit/gui/editor_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
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

#include <cstdio>

#include "veltedit/editor_settings.h"

namespace velt::veltedit::gui {

namespace {

constexpr char kNotRead[] = "EEPROOM not readen";

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
    : link_(link), session_(link, pacer, this), files_(std::move(files)) {
    setWindowTitle("VeltEdit v.2.5");
    auto* grid = new QGridLayout(this);
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
    station_ = field("station", false);
    station_->setMaxLength(int(kStationNameBytes));
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
    channelName_->setMaxLength(int(kNameBytes));
    grid->addWidget(channelName_, row, 1);
    label("Sensor name/comment", row, 2);
    sensor_ = field("sensor", false);
    sensor_->setMaxLength(int(kNameBytes));
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

    auto* saveButton = new QPushButton("Save", this);
    saveButton->setDefault(true);
    auto* cancelButton = new QPushButton("Cancel", this);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    auto* noRestart = new QPushButton("Cancel without restart VELT", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(saveButton);
    buttons->addWidget(cancelButton);
    buttons->addWidget(status_, 1);
    buttons->addWidget(noRestart);
    grid->addLayout(buttons, row++, 0, 1, 6);
    connect(saveButton, &QPushButton::clicked, this, &EditorWindow::save);
    connect(cancelButton, &QPushButton::clicked, this, &EditorWindow::cancel);
    connect(noRestart, &QPushButton::clicked, this, [this] {
        if (busy()) return;
        const auto answer = QMessageBox::question(
            this, windowTitle(), lines("This will cancel program,\r\n but VELT will not restart\r\nAre you sure?"),
            QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes) finish();
    });

    // The system menu's About entry, as a context-menu action of the window.
    auto* about = new QAction("About VeltEdit...", this);
    connect(about, &QAction::triggered, this,
            [this] { QMessageBox::about(this, "About VeltEdit", "VeltEdit Version 1.0"); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    showAll();
}

EditorWindow::~EditorWindow() {
    if (worker_.joinable()) worker_.join();
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
    if (auto* l = findChild<QLabel*>(name)) return l->text();
    if (auto* f = findChild<QLineEdit*>(name)) return f->text();
    return QString();
}

void EditorWindow::step(const std::string& text) {
    // From the worker: the newest step wins once the window thread gets to it.
    QMetaObject::invokeMethod(this, [this, t = QString::fromStdString(text)] { status_->setText(t); }, Qt::QueuedConnection);
}

template <typename Job, typename Done>
void EditorWindow::run(Job job, Done done) {
    if (busy_.exchange(true)) return;
    if (worker_.joinable()) worker_.join();
    setEnabled(false);
    worker_ = std::thread([this, job, done] {
        const auto result = job();
        QMetaObject::invokeMethod(
            this,
            [this, done, result] {
                busy_ = false;
                setEnabled(true);
                done(result);
            },
            Qt::QueuedConnection);
    });
}

void EditorWindow::start() {
    run([this] { return session_.connect(); }, [this](bool read) { connected(read); });
}

void EditorWindow::connected(bool read) {
    if (read) editor_.load(session_.editImage());
    else editor_.clear();
    showAll();
    status_->setText(read ? QString() : QString(kNotRead));
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
    if (busy()) return;
    editor_.prev(channelFields());
    showChannel();
}

void EditorWindow::next() {
    if (busy()) return;
    editor_.next(channelFields());
    showChannel();
}

void EditorWindow::save() {
    if (busy() || finished_) return;
    if (session_.imageRead()) editor_.encode(stationFields(), channelFields(), session_.editImage());
    run(
        [this] {
            WriteBackReport report;
            return session_.save(files_, report);
        },
        [this](int) { finish(); });
}

void EditorWindow::cancel() {
    if (busy() || finished_) return;
    run(
        [this] {
            session_.cancel();
            return 0;
        },
        [this](int) { finish(); });
}

void EditorWindow::finish() {
    finished_ = true;
    close();
}

void EditorWindow::closeEvent(QCloseEvent* event) {
    if (finished_) {
        event->accept();
        return;
    }
    // Closing the window is Cancel: the station is restarted first.
    event->ignore();
    cancel();
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
    const EditorSettings settings = readSettings(std::string("./") + kIniName);
    if (QMessageBox::question(nullptr, "VeltEdit v.2.5", lines(terminateQuestion(settings)),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return 0;
    EditorConnection connection = chooseLink(settings);
    if (connection.link == nullptr) {
        QMessageBox::warning(nullptr, "VeltEdit v.2.5", "Connect stream not found");
        return 2;
    }
    connection.link->open();  // a link that did not open never answers: "EEPROOM not readen"
    SystemPacer pacer;
    int status = 0;
    {
        EditorWindow window(*connection.link, pacer);
        window.show();
        window.start();
        app.exec();
        status = window.finished() ? 0 : 1;
    }
    connection.link->close();
    return status;
}

}  // namespace velt::veltedit::gui
