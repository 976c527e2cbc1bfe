// Runs the converter with its status window: the worker converts on its own
// thread and reports through a WindowStatusMonitor; the window's Stop (or any
// close) ends the worker in order before the program exits.
#pragma once

#include <atomic>

#include "livemill/livemill_config.h"
#include "livemill/worker.h"

namespace velt::livemill::gui {

/// @brief Shows the window until Stop, or until `stopRequested` (not owned) is
/// set from elsewhere (a signal). @return the process exit status.
int runWithWindow(int& argc, char** argv, const LivemillConfig& config, const WorkerOptions& options,
                  std::atomic<bool>& stopRequested);

}  // namespace velt::livemill::gui
