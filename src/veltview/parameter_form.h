// The recorder-parameter screen ("REGISTRATOR PARAMETERS") on the panel's
// character screen: labels, four edit fields, the rate list and the SAVE and
// CANCEL buttons, worked with the panel keys.
//
// Decisions taken here:
//  - Boxes are drawn on the 12-pixel grid of the drawing area (the panel
//    itself uses 8-pixel cells), so boxes and texts line up.
//  - An edit field shows at most its width; a cursor position past the end
//    of the name reads as a space, and stepping it gives "0" (up) or "Z"
//    (down), filling the gap with spaces; names are cut at their first
//    space when saved.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "veltview/canvas.h"
#include "veltview/recorder_commands.h"

namespace velt::veltview {

/// Panel key numbers the form reacts to.
namespace panel_key {
constexpr int kUp = 3, kEscape = 4, kNextA = 5, kLeft = 6, kRight = 8, kPreviousA = 10, kDown = 11, kEnter = 12;
}

class ParameterForm final {
public:
    enum class Kind { Label, Edit, List, Button };
    struct Widget {
        Kind kind;
        int column, row;
        std::string text;   // label text, button caption
        int width = 0;      // edit field, list
        std::string* value = nullptr;  // edit field: the name it edits
        bool focused = false;
        bool editing = false;  // edit field
        int cursor = 0;        // edit field
        bool open = false;     // list
        int highlighted = 0;   // list
        bool pressed = false;  // button
    };
    static constexpr std::size_t kEditChars = 27;  // a 28-byte buffer with its terminator
    static constexpr std::array<const char*, 3> kRates{"50", "100", "200"};

    /// @brief Edits `parameters` (not owned) and draws on `canvas`.
    ParameterForm(ParameterSet& parameters, Canvas& canvas);

    /// @brief Focus on the station name, everything drawn.
    void openForm();
    /// @brief One panel key.
    void formKey(int key);
    bool savePressed() const { return widgets_[kSave].pressed; }
    bool cancelPressed() const { return widgets_[kCancel].pressed; }
    int focusedWidget() const { return focused_; }
    const Widget& widget(int i) const { return widgets_[std::size_t(i)]; }

    static constexpr int kStation = 2, kRateList = 11, kSave = 12, kCancel = 13;

private:
    bool handle(Widget& w, int key);
    void moveFocus(int direction);
    void draw(const Widget& w);
    void drawAll();
    void box(int x1, int y1, int x2, int y2, Ink ink);
    int selectedRate() const;

    ParameterSet& parameters_;
    Canvas& canvas_;
    std::vector<Widget> widgets_;
    int focused_ = kStation;
};

/// The dialogue's status lines on the panel's character screen.
class CanvasStatus final : public PanelStatus {
public:
    explicit CanvasStatus(Canvas& canvas) : canvas_(canvas) {}
    void showStatus(int line, const std::string& text) override { canvas_.putText(0, line, text); }

private:
    Canvas& canvas_;
};

/// Panel keys as the main loop hands them over.
class PanelKeys {
public:
    virtual ~PanelKeys() = default;
    /// @brief The next key, waiting up to `milliseconds`; -1 when none came.
    virtual int nextKey(int milliseconds) = 0;
};

/// The parameter screen the command dialogue opens: the form, fed with
/// panel keys until SAVE or CANCEL (or a stop request, as CANCEL).
class FormScreen final : public ParameterScreen {
public:
    FormScreen(Canvas& canvas, PanelKeys& keys, const std::atomic<bool>& stop)
        : canvas_(canvas), keys_(keys), stop_(stop) {}
    bool edit(ParameterSet& parameters) override;

private:
    Canvas& canvas_;
    PanelKeys& keys_;
    const std::atomic<bool>& stop_;
};

}  // namespace velt::veltview
