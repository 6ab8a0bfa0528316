#include "editor/video_settings_window.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <string>

#include "graphics/live_video.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {
QPointer<VideoSettingsWindow> the_window;
}  // namespace

VideoSettingsWindow::VideoSettingsWindow(LiveVideo& feed, QWidget* parent) : QDialog(parent), feed_(feed) {
    setWindowTitle("Video Settings");
    auto* form = new QFormLayout;
    device_ = new QComboBox;
    input_ = new QComboBox;
    width_ = new QSpinBox;
    height_ = new QSpinBox;
    rate_ = new QDoubleSpinBox;
    for (QSpinBox* side : {width_, height_}) {
        side->setRange(0, kMaxVideoSide);
        side->setSpecialValueText("the device's own");  // 0
    }
    rate_->setRange(1, 120);
    rate_->setDecimals(1);
    rate_->setSuffix(" frames/s");
    form->addRow("Device", device_);
    form->addRow("Input", input_);
    form->addRow("Width", width_);
    form->addRow("Height", height_);
    form->addRow("Frame rate", rate_);
    status_ = new QLabel;
    status_->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Close);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] { apply(); });
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (apply()) hide();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    connect(device_, &QComboBox::currentIndexChanged, this, [this](int index) { list_inputs(index, -1); });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    load();
}

void VideoSettingsWindow::load() {
    const VideoSettings& s = feed_.settings();
    const QSignalBlocker quiet(device_);
    device_->clear();
    const auto devices = video_devices();
    for (const VideoDevice& d : devices) device_->addItem(QString::fromStdString(d.name));
    device_->setCurrentIndex(s.device < static_cast<int>(devices.size()) ? s.device : -1);
    list_inputs(s.device, s.input);
    width_->setValue(s.width);
    height_->setValue(s.height);
    rate_->setValue(s.rate);
    status_->clear();
}

void VideoSettingsWindow::list_inputs(int device, int selected) {
    input_->clear();
    const auto devices = video_devices();
    if (device < 0 || device >= static_cast<int>(devices.size())) return;
    const VideoInputs inputs = video_inputs(devices[device]);
    for (const std::string& name : inputs.names) input_->addItem(QString::fromStdString(name));
    input_->setCurrentIndex(selected >= 0 ? selected : inputs.active);
}

bool VideoSettingsWindow::apply() {
    VideoSettings s = feed_.settings();
    s.device = device_->currentIndex();
    s.input = input_->currentIndex();
    s.width = width_->value();
    s.height = height_->value();
    if ((s.width == 0) != (s.height == 0)) {  // one side alone cannot say what the other should be
        const auto [w, h] = feed_.frame_size();
        if (s.width == 0) s.width = w;
        if (s.height == 0) s.height = h;
    }
    s.rate = rate_->value();
    std::string why;
    if (!feed_.apply(s, &why)) {
        status_->setText(QString::fromStdString("Not changed: " + why));
        CPPBridge::error("The video device could not be changed: %s", why.c_str());
        return false;
    }
    const auto [w, h] = feed_.frame_size();
    status_->setText(QString("Running at %1 x %2").arg(w).arg(h));
    CPPBridge::notification("Video Bounds set to %f,%f,%f,%f\n", 0.0, 0.0, double(w), double(h));
    return true;
}

void open_video_settings_window(LiveVideo& feed) {
    if (!the_window) {
        the_window = new VideoSettingsWindow(feed);
        the_window->setAttribute(Qt::WA_DeleteOnClose, false);
    } else {
        the_window->load();
    }
    the_window->show();
    the_window->raise();
    the_window->activateWindow();
}

void close_video_settings_window() { delete the_window.data(); }

}  // namespace omb
