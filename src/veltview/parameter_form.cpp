#include "veltview/parameter_form.h"

#include <algorithm>

namespace velt::veltview {

namespace {

constexpr int K = Canvas::kCell;

// The character set the panel steps through: space, 0..9, A..Z.
char stepUp(char c) {
    if (c <= ' ') return '0';
    if (c == '9') return 'A';
    if (c >= 'Z') return ' ';
    return char(c + 1);
}

char stepDown(char c) {
    if (c <= ' ') return 'Z';
    if (c == 'A') return '9';
    if (c == '0') return ' ';
    return char(c - 1);
}

}  // namespace

ParameterForm::ParameterForm(ParameterSet& parameters, Canvas& canvas) : parameters_(parameters), canvas_(canvas) {
    using W = Widget;
    widgets_ = {
        W{Kind::Label, 7, 0, "REGISTRATOR PARAMETERS"},
        W{Kind::Label, 0, 3, "registrator name:"},
        W{Kind::Edit, 20, 3, "", 7, &parameters_.station},
        W{Kind::Label, 0, 5, "channels "},
        W{Kind::Label, 11, 5, "1:"},
        W{Kind::Edit, 14, 5, "", 3, &parameters_.channels[0]},
        W{Kind::Label, 19, 5, "2:"},
        W{Kind::Edit, 22, 5, "", 3, &parameters_.channels[1]},
        W{Kind::Label, 27, 5, "3:"},
        W{Kind::Edit, 30, 5, "", 3, &parameters_.channels[2]},
        W{Kind::Label, 0, 7, "Samples per second:"},
        W{Kind::List, 20, 7, "", 5},
        W{Kind::Button, 1, 18, "SAVE"},
        W{Kind::Button, 25, 18, "CANCEL"},
    };
    for (Widget& w : widgets_)
        if (w.value != nullptr && w.value->size() > kEditChars) w.value->resize(kEditChars);
}

int ParameterForm::selectedRate() const {
    for (std::size_t i = 0; i < kRates.size(); ++i)
        if (parameters_.rate == kRates[i]) return int(i);
    return 1;
}

void ParameterForm::openForm() {
    for (Widget& w : widgets_) w.focused = false;
    focused_ = kStation;
    widgets_[kStation].focused = true;
    canvas_.fillBox(0, 0, Canvas::kWidth - 1, Canvas::kHeight - 1, Ink::Background);
    drawAll();
}

void ParameterForm::formKey(int key) {
    Widget& w = widgets_[std::size_t(focused_)];
    if (!handle(w, key)) {
        if (key == panel_key::kNextA || key == panel_key::kRight) moveFocus(+1);
        else if (key == panel_key::kLeft || key == panel_key::kPreviousA) moveFocus(-1);
    }
    drawAll();
}

bool ParameterForm::handle(Widget& w, int key) {
    using namespace panel_key;
    switch (w.kind) {
        case Kind::Edit: {
            std::string& value = *w.value;
            if (key == kEnter) {
                w.editing = !w.editing;
                w.cursor = 0;
                return true;
            }
            if (!w.editing) return false;
            if (key == kUp || key == kDown) {
                if (value.size() <= std::size_t(w.cursor)) value.resize(std::size_t(w.cursor) + 1, ' ');
                char& c = value[std::size_t(w.cursor)];
                c = key == kUp ? stepUp(c) : stepDown(c);
                return true;
            }
            if (key == kLeft || key == kRight) {
                w.cursor = std::clamp(w.cursor + (key == kRight ? 1 : -1), 0, w.width - 1);
                return true;
            }
            if (key == kEscape || key == kNextA || key == kPreviousA) {
                w.editing = false;
                return key == kEscape;
            }
            return false;
        }
        case Kind::List: {
            const int n = int(kRates.size());
            if (key == kUp || key == kDown) {
                w.highlighted = (w.highlighted + (key == kUp ? n - 1 : 1)) % n;
                return true;
            }
            if (key == kEnter) {
                if (w.open) parameters_.rate = kRates[std::size_t(w.highlighted)];
                else w.highlighted = selectedRate();
                w.open = !w.open;
                return true;
            }
            if (w.open && (key == kEscape || key == kNextA || key == kPreviousA || key == kLeft || key == kRight)) {
                w.open = false;
                return key == kEscape || key == kNextA || key == kPreviousA;
            }
            return false;
        }
        case Kind::Button:
            if (key == kEnter && w.focused) {
                w.pressed = true;
                return true;
            }
            return false;
        case Kind::Label: return false;
    }
    return false;
}

void ParameterForm::moveFocus(int direction) {
    widgets_[std::size_t(focused_)].focused = false;
    const int n = int(widgets_.size());
    do {
        focused_ = (focused_ + direction + n) % n;
    } while (widgets_[std::size_t(focused_)].kind == Kind::Label);
    widgets_[std::size_t(focused_)].focused = true;
}

void ParameterForm::box(int x1, int y1, int x2, int y2, Ink ink) {
    canvas_.drawLine(x1, y1, x2, y1, ink);
    canvas_.drawLine(x2, y1, x2, y2, ink);
    canvas_.drawLine(x2, y2, x1, y2, ink);
    canvas_.drawLine(x1, y2, x1, y1, ink);
}

void ParameterForm::draw(const Widget& w) {
    const int x = K * w.column, y = K * w.row;
    switch (w.kind) {
        case Kind::Label: canvas_.putText(w.column, w.row, w.text); break;
        case Kind::Edit: {
            std::string shown = w.value->substr(0, std::size_t(w.width));
            shown.resize(std::size_t(w.width), ' ');
            canvas_.putText(w.column, w.row, shown);
            box(x - 2, y - 2, x + K * w.width + 1, y + K + 1, Ink::Foreground);
            box(x - 1, y - 1, x + K * w.width, y + K, w.focused && !w.editing ? Ink::Foreground : Ink::Background);
            const int cursorX = x + K * w.cursor;
            canvas_.drawLine(x, y + K - 1, x + K * w.width - 1, y + K - 1, Ink::Background);
            if (w.editing) canvas_.drawLine(cursorX, y + K - 1, cursorX + K - 1, y + K - 1, Ink::Foreground);
            break;
        }
        case Kind::List: {
            std::string shown = parameters_.rate;
            shown.resize(std::size_t(w.width), ' ');
            canvas_.putText(w.column, w.row, shown);
            box(x - 1, y - 1, x + K * w.width, y + K, w.focused ? Ink::Foreground : Ink::Background);
            for (std::size_t i = 0; i < kRates.size(); ++i) {
                std::string item(std::size_t(w.width) + 1, ' ');
                if (w.open) {
                    item = std::string(int(i) == w.highlighted ? "~" : " ") + kRates[i];
                    item.resize(std::size_t(w.width) + 1, ' ');
                }
                canvas_.putText(w.column - 1, w.row + 1 + int(i), item);
            }
            break;
        }
        case Kind::Button: {
            const int n = int(w.text.size());
            canvas_.putText(w.column, w.row, w.text);
            box(x - 2, y - 2, x + K * n + 2, y + K + 3, Ink::Foreground);
            box(x - 1, y - 1, x + K * n + 1, y + K + 2, w.focused ? Ink::Foreground : Ink::Background);
            break;
        }
    }
}

void ParameterForm::drawAll() {
    for (const Widget& w : widgets_) draw(w);
}

bool FormScreen::edit(ParameterSet& parameters) {
    ParameterForm form(parameters, canvas_);
    form.openForm();
    while (!stop_.load()) {
        const int key = keys_.nextKey(1);
        if (key < 0) continue;
        form.formKey(key);
        if (form.savePressed()) return true;
        if (form.cancelPressed()) return false;
    }
    return false;
}

}  // namespace velt::veltview
