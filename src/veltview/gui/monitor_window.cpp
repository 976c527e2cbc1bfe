#include "veltview/gui/monitor_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include "gui_common/window_parts.h"
#include "gui_common/worker_job.h"

namespace velt::veltview::gui {

namespace {

constexpr int kRepaintMs = 33;  // about 30 repaints a second at most
const char* const kDotColours[4] = {"black", "green", "red", "yellow"};

QString dotStyle(int state) {
    return QString("background-color: %1; border-radius: 5px;").arg(kDotColours[state < 0 || state > 3 ? 0 : state]);
}

}  // namespace

MonitorWindow::MonitorWindow(QtCanvas& canvas) : canvas_(canvas) {
    setWindowTitle("VeltView v.2.5");
    page_ = gui_common::addFixedPage(*this, QSize(1000, 760));
    gui_common::addHelpMenu(*this, "&About VeltView...",
                            [this] { QMessageBox::about(this, "About VeltView", gui_common::withVersion("VeltView v.2.5")); });
    QWidget* const page = page_;
    device_ = new QLabel(page);
    device_->setObjectName("device");
    device_->setGeometry(10, 6, 540, 18);
    field(page, "Station name:", 10, 26, 110, "field" + QString::number(int(Field::StationName)));
    field(page, "SPS:", 250, 26, 60, "field" + QString::number(int(Field::SampleRate)));

    // Beside each channel band: name, scale labels, "A" and the active mark.
    for (int c = 0; c < 3; ++c) {
        const int y = kAreaY + TraceDisplay::kBandTop[std::size_t(c)];
        auto* name = new QLineEdit(page);
        name->setObjectName("field" + QString::number(int(Field::ChannelName0) + c));
        name->setReadOnly(true);
        name->setGeometry(2, y, 64, 20);
        fields_[std::size_t(int(Field::ChannelName0) + c)] = name;
        for (int k = 0; k < 2; ++k) {
            auto* label = new QLabel(k == 0 ? "m:" : "d:", page);
            label->setObjectName((k == 0 ? "m" : "d") + QString::number(c));
            // Room for "m:-2147483648", the widest a scale value gets.
            QFont small = label->font();
            small.setPixelSize(10);
            label->setFont(small);
            label->setGeometry(2, y + 22 + 18 * k, 78, 16);
        }
        scalingButtons_.push_back(button("A", key_code::kChannel0 + c, page, 2, y + 60, 24));
        activeBoxes_[std::size_t(c)] = new QCheckBox(page);
        activeBoxes_[std::size_t(c)]->setGeometry(32, y + 62, 20, 20);
        connect(activeBoxes_[std::size_t(c)], &QCheckBox::clicked, this, [this, c] {
            if (monitor_ != nullptr) monitor_->press(key_code::kChannel0 + c);
        });
    }

    auto* active = new QGroupBox("Set Active channel", page);
    active->setGeometry(10, 420, 260, 50);
    const char* const channels[3] = {"1 ch", "2 Ch", "3 Ch"};
    for (int c = 0; c < 3; ++c) scalingButtons_.push_back(button(channels[c], key_code::kChannel0 + c, active, 8 + 82 * c, 20, 76));

    auto* scaling = new QGroupBox("Trace scaling", page);
    scaling->setGeometry(10, 475, 545, 85);
    const std::pair<const char*, int> scales[9] = {
        {"Up", key_code::kUp}, {"Down", key_code::kDown}, {"Vert. Inc", key_code::kVerticalIncrease},
        {"Vert. Dec", key_code::kVerticalDecrease}, {"Horiz. Inc", key_code::kHorizontalIncrease},
        {"Horiz. Dec", key_code::kHorizontalDecrease}, {"AutoScale", key_code::kAutoScale},
        {"Scale to active", key_code::kScaleToActive}, {"Save scale info", key_code::kSaveScale}};
    for (int i = 0; i < 9; ++i)
        scalingButtons_.push_back(button(scales[i].first, scales[i].second, scaling, 8 + 106 * (i % 5), 20 + 30 * (i / 5), 100));
    pauseButton_ = new QPushButton("Pause", page);
    pauseButton_->setObjectName("pause");
    pauseButton_->setGeometry(10, 566, 80, 26);
    connect(pauseButton_, &QPushButton::clicked, this, [this] {
        if (monitor_ != nullptr) monitor_->press(paused_ ? key_code::kResume : key_code::kPause);
    });
    pauseText_ = new QLabel(page);
    pauseText_->setObjectName("pauseText");
    pauseText_->setGeometry(100, 570, 300, 18);

    // The status fields.
    const std::pair<const char*, Field> status[] = {
        {"Current time:", Field::CurrentTime}, {"Grp dly", Field::GroupDelay}, {"Time status:", Field::TimeStatus},
        {"Cntr:", Field::TimeCounter}, {"DelT:", Field::DelT}, {"CPar:", Field::CPar}, {"Cntr:", Field::CParCounter},
        {"Lat:", Field::Latitude}, {"Lon:", Field::Longitude}, {"Alt:", Field::Altitude}, {"", Field::RecordCode},
        {"Serial Number:", Field::SerialNumber}, {"Config.number:", Field::ConfigNumber},
        {"CS err:", Field::ChecksumErrors}, {"Start status:", Field::StartStatus},
        {"Restart counter:", Field::RestartCounter}, {"Sensors: 1", Field::Sensor0}, {"2", Field::Sensor1},
        {"3", Field::Sensor2}};
    // Four columns across the bottom; the time takes two cells.
    int cell = 0;
    for (const auto& [caption, f] : status) {
        const bool wide = f == Field::CurrentTime;
        const int x = 10 + 245 * (cell % 4), y = 600 + 26 * (cell / 4);
        field(page, caption, x, y, wide ? 300 : 125, "field" + QString::number(int(f)));
        cell += wide ? 2 : 1;
    }
    (new QLabel("Coordinates:", page))->setGeometry(10 + 245 * 2, 580, 100, 18);

    auto* archive = new QGroupBox("Archive", page);
    archive->setGeometry(565, 10, 425, 190);
    for (int d = 0; d < kArchiveDevices; ++d) {
        deviceBoxes_[std::size_t(d)] = new QCheckBox(archive);
        deviceBoxes_[std::size_t(d)]->setGeometry(10, 22 + 28 * d, 20, 20);
        connect(deviceBoxes_[std::size_t(d)], &QCheckBox::toggled, this,
                [this, d](bool on) { checked_[std::size_t(d)].store(on); });
        auto* dir = new QLineEdit(archive);
        dir->setObjectName("devDir" + QString::number(d));
        dir->setReadOnly(true);
        dir->setGeometry(34, 22 + 28 * d, 340, 22);
        deviceDirectories_[std::size_t(d)] = dir;
        dots_[std::size_t(d)] = new QLabel(archive);
        dots_[std::size_t(d)]->setGeometry(384, 27 + 28 * d, 11, 11);
        dots_[std::size_t(d)]->setStyleSheet(dotStyle(0));
    }
    button("Next File", key_code::kNextFile, archive, 10, 140, 100);
    button("Next Card", key_code::kNextCard, archive, 120, 140, 100);
    auto* archivePause = new QPushButton("Pause", archive);
    archivePause->setGeometry(230, 140, 100, 26);
    connect(archivePause, &QPushButton::clicked, this, [this] {
        static bool second = false;  // the two codes alternate; the monitor ignores both
        if (monitor_ != nullptr) monitor_->press(second ? key_code::kArchiveResume : key_code::kArchivePause);
        second = !second;
    });
    archiveState_ = new QLabel(archive);
    archiveState_->setObjectName("archState");
    archiveState_->setGeometry(10, 168, 405, 18);

    realtime_ = new QGroupBox("RTdata", page);
    realtime_->setObjectName("rtCaption");
    realtime_->setGeometry(565, 210, 425, 100);
    realtimeDirectory_ = field(realtime_, "Dir", 10, 22, 330, "rtDir");
    realtimeNumber_ = field(realtime_, "FNum", 10, 50, 100, "rtNumber");
    realtimeBytes_ = field(realtime_, "Bytes", 200, 50, 100, "rtBytes");
    realtimeState_ = new QLabel(realtime_);
    realtimeState_->setObjectName("rtState");
    realtimeState_->setGeometry(10, 76, 405, 18);

    auto* calibration = new QGroupBox("Calibration", page);
    calibration->setGeometry(565, 320, 425, 60);
    button("Pulse", key_code::kPulse, calibration, 10, 22)->setObjectName("pulse");
    button("Random", key_code::kRandom, calibration, 100, 22);
    button("Stop", key_code::kCalibrationStop, calibration, 190, 22);

    auto* keys = new QGroupBox("Panel keys", page);
    keys->setGeometry(565, 390, 425, 100);
    for (int k = 1; k <= 12; ++k)
        button(QString::number(k), k, keys, 10 + 68 * ((k - 1) % 6), 22 + 34 * ((k - 1) / 6), 60)
            ->setObjectName("key" + QString::number(k));
    link_ = new QLabel(page);
    link_->setObjectName("link");
    link_->setGeometry(565, 496, 425, 36);
    link_->setWordWrap(true);
    message_ = new QLabel(page);
    message_->setObjectName("message");
    message_->setGeometry(565, 536, 425, 36);
    message_->setWordWrap(true);

    auto* stop = new QPushButton("Stop", page);
    stop->setObjectName("stopProgram");
    stop->setGeometry(900, 732, 90, 24);
    connect(stop, &QPushButton::clicked, this, &QWidget::close);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        if (canvas_.takeChanged()) update(area());
        const QtCanvas::Labels labels = canvas_.labels();
        for (int c = 0; c < 3; ++c) {
            findChild<QLabel*>("m" + QString::number(c))->setText(labels.middle[std::size_t(c)].isEmpty() ? "m:" : labels.middle[std::size_t(c)]);
            findChild<QLabel*>("d" + QString::number(c))->setText(labels.half[std::size_t(c)].isEmpty() ? "d:" : labels.half[std::size_t(c)]);
            activeBoxes_[std::size_t(c)]->setChecked(labels.active == c);
        }
    });
    timer->start(kRepaintMs);
}

QPushButton* MonitorWindow::button(const QString& caption, int code, QWidget* parent, int x, int y, int w) {
    auto* b = new QPushButton(caption, parent);
    b->setGeometry(x, y, w, 26);
    connect(b, &QPushButton::clicked, this, [this, code] {
        if (monitor_ != nullptr) monitor_->press(code);
    });
    return b;
}

QLineEdit* MonitorWindow::field(QWidget* parent, const QString& caption, int x, int y, int w, const QString& name) {
    const int captionWidth = caption.isEmpty() ? 0 : (caption.size() > 5 ? 112 : 40);
    if (!caption.isEmpty()) {
        auto* label = new QLabel(caption, parent);
        label->setGeometry(x, y + 2, captionWidth, 18);
    }
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setReadOnly(true);
    box->setGeometry(x + captionWidth, y, w, 22);
    if (name.startsWith("field")) fields_[name.mid(5).toUInt()] = box;
    return box;
}

void MonitorWindow::apply(Shown what, int copy, const Value& value) {
    const auto text = [&value] { return QString::fromStdString(std::get<std::string>(value)); };
    const auto number = [&value] { return std::get<int>(value); };
    const std::size_t d = std::size_t(copy);
    switch (what) {
        case Shown::Device: device_->setText(text()); break;
        case Shown::PauseText: pauseText_->setText(text()); break;
        case Shown::Paused:
            paused_ = number() != 0;
            pauseButton_->setText(paused_ ? "Resume" : "Pause");
            for (QPushButton* b : scalingButtons_) b->setEnabled(!paused_);
            for (QCheckBox* b : activeBoxes_) b->setEnabled(!paused_);
            break;
        case Shown::Link: link_->setText(text()); break;
        case Shown::Notice:
            // Informs, never waits: the worker has gone on with its retries.
            if (notice_ == nullptr) {
                notice_ = new QMessageBox(QMessageBox::Information, windowTitle(), text(), QMessageBox::Ok, this);
                notice_->setModal(false);
            }
            notice_->setText(text());
            notice_->show();
            break;
        case Shown::Message: message_->setText(text()); break;
        case Shown::RealtimeCaption: realtime_->setTitle(text()); break;
        case Shown::RealtimeDirectory: realtimeDirectory_->setText(text()); break;
        case Shown::RealtimeNumber: realtimeNumber_->setText(text()); break;
        case Shown::RealtimeBytes: realtimeBytes_->setText(text()); break;
        case Shown::RealtimeState: realtimeState_->setText(text()); break;
        case Shown::ArchiveState: archiveState_->setText(text()); break;
        case Shown::StatusField:
            if (d < fields_.size() && fields_[d] != nullptr) fields_[d]->setText(text());
            break;
        case Shown::DeviceDirectory:
            if (d < deviceDirectories_.size()) deviceDirectories_[d]->setText(text());
            break;
        case Shown::DeviceChecked:
            if (d < deviceBoxes_.size()) deviceBoxes_[d]->setChecked(number() != 0);
            break;
        case Shown::DeviceDot:
            if (d < dots_.size()) dots_[d]->setStyleSheet(dotStyle(number()));
            break;
        case Shown::Count: break;
    }
}

void MonitorWindow::setDeviceChecked(int d, bool c) {
    if (d < 0 || d >= kArchiveDevices) return;
    checked_[std::size_t(d)].store(c);
    shown_.post(Shown::DeviceChecked, d, int(c));
}

QString MonitorWindow::text(const QString& name) const {
    if (auto* box = findChild<QLineEdit*>(name)) return box->text();
    if (auto* label = findChild<QLabel*>(name)) return label->text();
    if (auto* group = findChild<QGroupBox*>(name)) return group->title();
    if (auto* b = findChild<QPushButton*>(name)) return b->text();
    return {};
}

QRect MonitorWindow::area() const {
    return QRect(page_->pos() + QPoint(kAreaX, kAreaY), QSize(Canvas::kWidth, Canvas::kHeight));
}

void MonitorWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter p(this);
    p.drawImage(area().topLeft(), canvas_.snapshot());
}

void MonitorWindow::stopAsked(gui_common::StopCause cause) {
    if (cause == gui_common::StopCause::Signal) {
        stopQuestion_.withdraw();  // a signal, not a person: nobody to answer
        stopNow();
    } else if (monitor_ != nullptr && !monitor_->done()) {
        // The worker records while the question waits, and so does the window.
        stopQuestion_.ask([this] { stopNow(); });
    } else {
        stopNow();
    }
}

void MonitorWindow::stopNow() {
    if (monitor_ != nullptr) monitor_->stop();
    watcher_.closeWindow();
}

int runWithWindow(int& argc, char** argv, const std::string& iniPath) {
    QApplication app(argc, argv);
    QtCanvas canvas;
    MonitorWindow window(canvas);
    Monitor monitor(iniPath, canvas, window, window, window);
    window.attach(&monitor);
    // The monitor has ended (after a stop): the program ends, also when the
    // window never came up.
    gui_common::WorkerJob worker(window);
    worker.start([&monitor] { monitor.run(); }, [] { QApplication::quit(); });
    // The window comes up after a pause of 5 s, as the recorder family's
    // monitor always has (the recorder may still be starting its link).
    QTimer::singleShot(std::chrono::seconds(5), &window, [&] {
        if (monitor.stopping()) return;
        window.show();
        monitor.setReady();
    });
    const int status = app.exec();
    monitor.stop();
    worker.join();  // the monitor closes its files; nothing it posts waits for the window
    return status;
}

}  // namespace velt::veltview::gui
