// One job at a time on a thread of its own, its result handed to a callback
// on the window thread: a conversation with a station, a conversion, a
// converter's whole run. The window never waits for the job; it learns of
// its end from the callback, so it stays live however long the job takes.
#pragma once

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <thread>
#include <type_traits>

namespace velt::gui_common {

class WorkerJob final {
public:
    /// @brief Completions run on the thread of `window` (not owned; it outlives the job).
    explicit WorkerJob(QObject& window) : window_(window) {}
    /// @brief Waits for a job still running: ask it to end first.
    ~WorkerJob() { join(); }
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    /// @brief Runs `job()` on the worker thread, then `done(result)` (`done()`
    /// for a job without a result) on the window thread, where running() is
    /// already false. @return false, starting nothing, while a job runs.
    template <typename Job, typename Done>
    bool start(Job job, Done done) {
        if (running_.exchange(true)) return false;
        join();  // the thread of the job before, which has ended
        thread_ = std::thread([this, job, done]() mutable {
            if constexpr (std::is_void_v<std::invoke_result_t<Job&>>) {
                job();
                finish([done]() mutable { done(); });
            } else {
                finish([done, result = job()]() mutable { done(result); });
            }
        });
        return true;
    }

    /// @brief True from start() until its completion runs.
    bool running() const { return running_.load(); }
    /// @brief Waits until the job's thread has ended (its completion may still be queued).
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    template <typename Completion>
    void finish(Completion completion) {
        QMetaObject::invokeMethod(
            &window_,
            [this, completion]() mutable {
                join();  // the worker ends right after posting this
                running_.store(false);
                completion();
            },
            Qt::QueuedConnection);
    }

    QObject& window_;
    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace velt::gui_common
