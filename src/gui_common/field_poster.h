// Carries what a worker thread reports to its window. The worker posts the
// newest value of a field (named by the window's own enum; a field may come
// in several copies, one per input or device); the window thread applies
// every field changed since its last batch in one go. One queued call is
// pending at a time however fast the worker posts, and no value waits for a
// later post to be carried: what a burst leaves behind is applied by the call
// already pending. A window that wants fewer batches (a backlog conversion
// reports tens of thousands of blocks a second) names a shortest interval
// between them; a batch due sooner waits for it on a single-shot timer.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace velt::gui_common {

/// `Field` is an enum whose last entry is `Count`; each field has `Copies`
/// copies (0 to Copies-1), the value of each copy kept apart.
template <typename Field, typename Value, int Copies = 1>
class FieldPoster final {
public:
    /// One changed field, on the window thread: which, which copy, its newest value.
    using Apply = std::function<void(Field field, int copy, const Value& value)>;

    /// @brief Batches run on the thread of `window` (not owned; it outlives
    /// the poster, and the poster outlives every post).
    FieldPoster(QObject& window, Apply apply, std::chrono::milliseconds shortestInterval = {})
        : window_(window), apply_(std::move(apply)), interval_(shortestInterval) {}
    FieldPoster(const FieldPoster&) = delete;
    FieldPoster& operator=(const FieldPoster&) = delete;

    /// @brief Any thread: `value` replaces whatever `field` held unapplied.
    void post(Field field, Value value) { post(field, 0, std::move(value)); }
    /// @brief The same for one copy; copies out of range are ignored.
    void post(Field field, int copy, Value value) {
        if (copy < 0 || copy >= Copies) return;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            Slot& slot = slots_[std::size_t(copy) * kFields + std::size_t(field)];
            slot.value = std::move(value);
            slot.changed = true;
            if (queued_) return;
            queued_ = true;
        }
        QMetaObject::invokeMethod(&window_, [this] { due(); }, Qt::QueuedConnection);
    }

private:
    static constexpr std::size_t kFields = std::size_t(Field::Count);
    struct Slot {
        Value value{};
        bool changed = false;
    };
    struct Change {
        Field field;
        int copy;
        Value value;
    };

    void due() {
        using namespace std::chrono;
        const auto wait = ceil<milliseconds>(applied_ + interval_ - steady_clock::now());
        if (wait.count() > 0) {
            QTimer::singleShot(wait, &window_, [this] { due(); });
            return;
        }
        applied_ = steady_clock::now();
        std::vector<Change> batch;
        {
            const std::lock_guard<std::mutex> hold(lock_);
            queued_ = false;
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                if (!slots_[i].changed) continue;
                slots_[i].changed = false;
                batch.push_back(Change{Field(i % kFields), int(i / kFields), std::move(slots_[i].value)});
            }
        }
        for (const Change& c : batch) apply_(c.field, c.copy, c.value);
    }

    QObject& window_;
    Apply apply_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point applied_{};  // the window thread's own
    std::mutex lock_;
    std::array<Slot, std::size_t(Copies) * kFields> slots_{};
    bool queued_ = false;
};

}  // namespace velt::gui_common
