// Runs the converter with its status window: the worker converts on its own
// thread and reports through a WindowStatusMonitor; the window's Stop (or any
// close) ends the worker in order before the program exits.
#pragma once

#include <atomic>

#include "livemill/livemill_config.h"
#include "livemill/seedlink_service.h"
#include "livemill/worker.h"

namespace velt::livemill::gui {

/// @brief Shows the window until Stop, or until `stopRequested` (not owned) is
/// set from elsewhere (a signal); `check` holds the settings problems found
/// before (its inputs do not run), which the window shows.
/// `seedlink` serves the inputs' miniSEED records once the worker is set up.
/// @return the process exit status (2 when there were settings problems).
int runWithWindow(int& argc, char** argv, const LivemillConfig& config, const WorkerOptions& options,
                  std::atomic<bool>& stopRequested, const platform::SettingsCheck& check,
                  SeedlinkService& seedlink);

}  // namespace velt::livemill::gui
