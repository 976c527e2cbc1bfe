#include "veltview/gui/monitor_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <thread>

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
    setFixedSize(1000, 760);
    auto* device = new QLabel(this);
    device->setObjectName("device");
    device->setGeometry(10, 6, 540, 18);
    field(this, "Station name:", 10, 26, 110, "field" + QString::number(int(Field::StationName)));
    field(this, "SPS:", 250, 26, 60, "field" + QString::number(int(Field::SampleRate)));

    // Beside each channel band: name, scale labels, "A" and the active mark.
    for (int c = 0; c < 3; ++c) {
        const int y = kAreaY + TraceDisplay::kBandTop[std::size_t(c)];
        auto* name = new QLineEdit(this);
        name->setObjectName("field" + QString::number(int(Field::ChannelName0) + c));
        name->setReadOnly(true);
        name->setGeometry(2, y, 64, 20);
        for (int k = 0; k < 2; ++k) {
            auto* label = new QLabel(k == 0 ? "m:" : "d:", this);
            label->setObjectName((k == 0 ? "m" : "d") + QString::number(c));
            // Room for "m:-2147483648", the widest a scale value gets.
            QFont small = label->font();
            small.setPixelSize(10);
            label->setFont(small);
            label->setGeometry(2, y + 22 + 18 * k, 78, 16);
        }
        scalingButtons_.push_back(button("A", key_code::kChannel0 + c, this, 2, y + 60, 24));
        activeBoxes_[std::size_t(c)] = new QCheckBox(this);
        activeBoxes_[std::size_t(c)]->setGeometry(32, y + 62, 20, 20);
        connect(activeBoxes_[std::size_t(c)], &QCheckBox::clicked, this, [this, c] {
            if (monitor_ != nullptr) monitor_->press(key_code::kChannel0 + c);
        });
    }

    auto* active = new QGroupBox("Set Active channel", this);
    active->setGeometry(10, 420, 260, 50);
    const char* const channels[3] = {"1 ch", "2 Ch", "3 Ch"};
    for (int c = 0; c < 3; ++c) scalingButtons_.push_back(button(channels[c], key_code::kChannel0 + c, active, 8 + 82 * c, 20, 76));

    auto* scaling = new QGroupBox("Trace scaling", this);
    scaling->setGeometry(10, 475, 545, 85);
    const std::pair<const char*, int> scales[9] = {
        {"Up", key_code::kUp}, {"Down", key_code::kDown}, {"Vert. Inc", key_code::kVerticalIncrease},
        {"Vert. Dec", key_code::kVerticalDecrease}, {"Horiz. Inc", key_code::kHorizontalIncrease},
        {"Horiz. Dec", key_code::kHorizontalDecrease}, {"AutoScale", key_code::kAutoScale},
        {"Scale to active", key_code::kScaleToActive}, {"Save scale info", key_code::kSaveScale}};
    for (int i = 0; i < 9; ++i)
        scalingButtons_.push_back(button(scales[i].first, scales[i].second, scaling, 8 + 106 * (i % 5), 20 + 30 * (i / 5), 100));
    pauseButton_ = new QPushButton("Pause", this);
    pauseButton_->setObjectName("pause");
    pauseButton_->setGeometry(10, 566, 80, 26);
    connect(pauseButton_, &QPushButton::clicked, this, [this] {
        if (monitor_ != nullptr) monitor_->press(paused_ ? key_code::kResume : key_code::kPause);
    });
    auto* pauseText = new QLabel(this);
    pauseText->setObjectName("pauseText");
    pauseText->setGeometry(100, 570, 300, 18);

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
        field(this, caption, x, y, wide ? 300 : 125, "field" + QString::number(int(f)));
        cell += wide ? 2 : 1;
    }
    (new QLabel("Coordinates:", this))->setGeometry(10 + 245 * 2, 580, 100, 18);

    auto* archive = new QGroupBox("Archive", this);
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
    auto* archState = new QLabel(archive);
    archState->setObjectName("archState");
    archState->setGeometry(10, 168, 405, 18);

    auto* rt = new QGroupBox("RTdata", this);
    rt->setObjectName("rtCaption");
    rt->setGeometry(565, 210, 425, 100);
    field(rt, "Dir", 10, 22, 330, "rtDir");
    field(rt, "FNum", 10, 50, 100, "rtNumber");
    field(rt, "Bytes", 200, 50, 100, "rtBytes");
    auto* rtState = new QLabel(rt);
    rtState->setObjectName("rtState");
    rtState->setGeometry(10, 76, 405, 18);

    auto* calibration = new QGroupBox("Calibration", this);
    calibration->setGeometry(565, 320, 425, 60);
    button("Pulse", key_code::kPulse, calibration, 10, 22)->setObjectName("pulse");
    button("Random", key_code::kRandom, calibration, 100, 22);
    button("Stop", key_code::kCalibrationStop, calibration, 190, 22);

    auto* keys = new QGroupBox("Panel keys", this);
    keys->setGeometry(565, 390, 425, 100);
    for (int k = 1; k <= 12; ++k)
        button(QString::number(k), k, keys, 10 + 68 * ((k - 1) % 6), 22 + 34 * ((k - 1) / 6), 60)
            ->setObjectName("key" + QString::number(k));
    auto* link = new QLabel(this);
    link->setObjectName("link");
    link->setGeometry(565, 496, 425, 36);
    link->setWordWrap(true);

    auto* stop = new QPushButton("Stop", this);
    stop->setObjectName("stopProgram");
    stop->setGeometry(900, 732, 90, 24);
    connect(stop, &QPushButton::clicked, this, &QWidget::close);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        if (canvas_.takeChanged()) update(QRect(kAreaX, kAreaY, Canvas::kWidth, Canvas::kHeight));
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
    return box;
}

void MonitorWindow::post(const std::string& key, const std::string& value) {
    const std::lock_guard<std::mutex> guard(lock_);
    pending_[key] = value;  // the newest value of each wins
    if (flushQueued_) return;
    flushQueued_ = true;
    QMetaObject::invokeMethod(this, [this] { apply(); }, Qt::QueuedConnection);
}

void MonitorWindow::apply() {
    std::map<std::string, std::string> batch;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        batch.swap(pending_);
        flushQueued_ = false;
    }
    for (const auto& [key, value] : batch) {
        const QString text = QString::fromStdString(value);
        if (key == "paused") {
            paused_ = value == "1";
            pauseButton_->setText(paused_ ? "Resume" : "Pause");
            for (QPushButton* b : scalingButtons_) b->setEnabled(!paused_);
            for (QCheckBox* b : activeBoxes_) b->setEnabled(!paused_);
        } else if (key == "rtCaption") {
            findChild<QGroupBox*>("rtCaption")->setTitle(text);
        } else if (key.rfind("dot", 0) == 0) {
            const int d = key[3] - '0';
            dotStates_[std::size_t(d)] = std::stoi(value);
            dots_[std::size_t(d)]->setStyleSheet(dotStyle(dotStates_[std::size_t(d)]));
        } else if (key == "notice") {
            // Informs, never waits: the worker has gone on with its retries.
            if (notice_ == nullptr) {
                notice_ = new QMessageBox(QMessageBox::Information, windowTitle(), text, QMessageBox::Ok, this);
                notice_->setModal(false);
            }
            notice_->setText(text);
            notice_->show();
        } else if (key.rfind("check", 0) == 0) {
            deviceBoxes_[std::size_t(key[5] - '0')]->setChecked(value == "1");
        } else if (auto* box = findChild<QLineEdit*>(QString::fromStdString(key))) {
            box->setText(text);
        } else if (auto* label = findChild<QLabel*>(QString::fromStdString(key))) {
            label->setText(text);
        }
    }
}

void MonitorWindow::setDeviceChecked(int d, bool c) {
    if (d < 0 || d >= kArchiveDevices) return;
    checked_[std::size_t(d)].store(c);
    post("check" + std::to_string(d), c ? "1" : "0");
}

QString MonitorWindow::text(const QString& name) const {
    if (auto* box = findChild<QLineEdit*>(name)) return box->text();
    if (auto* label = findChild<QLabel*>(name)) return label->text();
    if (auto* group = findChild<QGroupBox*>(name)) return group->title();
    if (auto* b = findChild<QPushButton*>(name)) return b->text();
    return {};
}

void MonitorWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter p(this);
    p.drawImage(kAreaX, kAreaY, canvas_.snapshot());
}

void MonitorWindow::stopAsked() {
    // The Calibration group has a "Stop" of its own: the question names what this one ends.
    confirmed_ = QMessageBox::question(this, windowTitle(),
                                       "Do you really want to stop recording?\n"
                                       "The monitor closes its files and ends; the recorder goes on.",
                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void MonitorWindow::closeEvent(QCloseEvent* event) {
    // The worker records while the question waits: only the window waits for the answer.
    if (ask_ && !confirmed_ && monitor_ != nullptr && !monitor_->done()) {
        stopAsked();
        if (ask_ && !confirmed_) {  // "No" (and no stop signal came meanwhile)
            event->ignore();
            return;
        }
    }
    if (monitor_ != nullptr) monitor_->stop();
    event->accept();
}

int runWithWindow(int& argc, char** argv, const std::string& iniPath, std::atomic<bool>& stopRequested) {
    QApplication app(argc, argv);
    // The window comes up after a pause of 5 s, as the recorder family's
    // monitor always has (the recorder may still be starting its link).
    std::this_thread::sleep_for(std::chrono::seconds(5));
    QtCanvas canvas;
    MonitorWindow window(canvas);
    Monitor monitor(iniPath, canvas, window, window, window);
    window.attach(&monitor);
    window.show();
    std::thread worker([&monitor] { monitor.run(); });
    QTimer::singleShot(0, &window, [&monitor] { monitor.setReady(); });  // once the event loop runs
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &window, [&] {
        if (stopRequested.load()) {
            window.closeWithoutAsking();  // a signal, not a person: nobody to answer
            if (QWidget* question = QApplication::activeModalWidget()) question->close();
            window.close();
        }
    });
    stopWatch.start(100);
    const int status = app.exec();
    monitor.stop();
    // The worker's last calls into the window are queued: keep serving them
    // until it has closed its files.
    while (!monitor.done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
    return status;
}

}  // namespace velt::veltview::gui
