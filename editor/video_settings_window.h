// The video settings window: the live feed's device, input, picture size and frame rate. Applying restarts the
// feed with them; a choice that does not open leaves the feed as it was and says why in the log. The window does
// not hold up the evaluation that opened it: the performance goes on while it is open.
//
// Threads: main thread only, as the feed's settings are.
#pragma once

#include <QDialog>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;

namespace omb {

class LiveVideo;

class VideoSettingsWindow : public QDialog {
public:
    explicit VideoSettingsWindow(LiveVideo& feed, QWidget* parent = nullptr);

    // Shows the feed's settings as they are now, with the devices and inputs there are now.
    void load();
    // Restarts the feed with what the window shows; false when the feed went on as it was.
    bool apply();

private:
    void list_inputs(int device, int selected);

    LiveVideo& feed_;
    QComboBox* device_;
    QComboBox* input_;
    QSpinBox* width_;
    QSpinBox* height_;
    QDoubleSpinBox* rate_;
    QLabel* status_;
};

// Opens the one settings window of `feed` (or brings it to the front), filled afresh.
void open_video_settings_window(LiveVideo& feed);
// Closes it (at application end, before the feed may go).
void close_video_settings_window();

}  // namespace omb
