// livemill: follows directories of real-time stream files and converts them
// into QRX4.0 files (registered in FILELIST), 4-int files and miniSEED.
#include <cstdio>
#include <string>

#include "livemill/headless_monitor.h"
#include "livemill/livemill_config.h"
#include "livemill/seedlink_service.h"
#include "livemill/worker.h"
#include "platform/clock.h"
#include "platform/file_util.h"
#include "platform/program.h"
#include "recorder/status_monitor.h"

#ifdef VELT_WITH_GUI
#include "gui_common/window_parts.h"
#include "livemill/gui/livemill_app.h"
#endif

namespace {

using velt::platform::CommandLine;
using velt::platform::StopSignals;

const char* const kUsage =
    "Usage: livemill [--config DIR] [--headless] [--until-idle] [--verbose] [--debug]\n"
    "       livemill --version | --help\n"
    "\n"
    "Converts the real-time stream files of up to ten inputs into QRX4.0, 4-int\n"
    "and miniSEED files, as livemill.ini and each input's INI file say.\n"
    "\n"
    "  --config DIR   run in DIR: livemill.ini and every relative path in the\n"
    "                 settings (input INI files, INDIR, OUTDIR, CONFFILE, qrx.ini)\n"
    "                 are taken from there (default: the working directory)\n"
    "  --headless     no window: log lines and one status line per input (at most\n"
    "                 every 5 s) go to standard output\n"
    "  --verbose      with --headless, print every status report instead\n"
    "  --until-idle   stop in order once every input has no new data (convert a\n"
    "                 backlog and exit)\n"
    "  --debug        also print debug messages\n"
    "  --version      the program's name and version\n"
    "  --help         this text\n"
    "\n"
    "Every input's settings are checked first (its INI file and sections,\n"
    "INDIR, the TODO switches, the output folders, the miniSEED settings file):\n"
    "each problem is one line on standard error and that input does not run; the\n"
    "others do.\n"
    "SIGINT and SIGTERM stop in order, like the window's Stop: pending output is\n"
    "written, files are closed, positions are saved; the exit status is then 0.\n"
    "Exit status 2: bad arguments or settings (also at the end of a run in which\n"
    "an input was left out for its settings, or the SeedLink port could not be\n"
    "bound).\n"
    "\n"
    "With [SEEDLINK] LISTEN=ADDR:PORT in livemill.ini, the miniSEED records of\n"
    "every input are served over SeedLink 3.1 and 4.0 (and WebSocket at\n"
    "/seedlink) as soon as they are durable; MAXCONNECTIONS (default 100) and\n"
    "ORGANIZATION (the second line of HELLO) are optional. The same port serves\n"
    "the status page: / (stations, lag, live traces), /status.json and /metrics\n"
    "(Prometheus).\n";

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    bool verbose = false;
    velt::livemill::WorkerOptions options;
    CommandLine line("livemill", kUsage);
    line.flag("--headless", headless);
    line.flag("--verbose", verbose);
    line.flag("--until-idle", options.untilIdle);
    if (const int status = line.parse(argc, argv); status >= 0) return status;
#ifndef VELT_WITH_GUI
    headless = true;
#endif

    // Every input's settings are checked before anything runs: each problem
    // is one line, an input with a problem does not run, the others do.
    velt::platform::SettingsCheck check;
    velt::livemill::LivemillConfig config;
    std::string error;
    int running = 0;
    if (check.file(velt::platform::inWorkingFolder("livemill.ini"),
                   "the converter's settings; give their folder with --config DIR")) {
        if (velt::livemill::readLivemillConfig("livemill.ini", config, error) != 0)
            check.add(velt::platform::SettingsProblem{"livemill.ini", "LIVEMILL", "MAXNOFINPSTREAM", error});
        else
            running = velt::livemill::checkInputs("livemill.ini", config, check);
    }
    // The SeedLink port is bound before anything converts: a port that is
    // taken is said at once. Conversion goes on without the server then, and
    // the run ends with the settings status.
    velt::livemill::SeedlinkService seedlink(velt::livemill::readSeedlinkSettings("livemill.ini", check),
                                             "livemill.ini");
    if (running > 0 && seedlink.open(error) != 0)
        check.add(velt::platform::SettingsProblem{"livemill.ini", "SEEDLINK", "LISTEN",
                                                  error.substr(error.find("LISTEN: ") + 8)});
    for (const velt::platform::SettingsProblem& p : check.problems()) std::fprintf(stderr, "livemill: %s\n", p.text().c_str());
    if (running == 0) {
#ifdef VELT_WITH_GUI
        if (!headless) return velt::gui_common::showSettingsProblems(argc, argv, "VELT rt converter ver.2.5.", check.text());
#endif
        return velt::platform::kExitUsage;
    }
    options.qrx.dataDirectory = velt::outputs::qrxDataDirectory();

    velt::platform::raiseOpenFileLimit();
    StopSignals::install();
    std::atomic<bool>& stopRequested = StopSignals::flag();

    if (!headless) {
#ifdef VELT_WITH_GUI
        return velt::livemill::gui::runWithWindow(argc, argv, config, options, stopRequested, check, seedlink);
#endif
    }

    const velt::platform::Clock& clock = velt::platform::systemClock();
    velt::livemill::HeadlessStatusMonitor compact(stdout, clock);
    velt::recorder::ConsoleStatusMonitor console(stdout);
    velt::recorder::StatusMonitor& monitor =
        verbose ? static_cast<velt::recorder::StatusMonitor&>(console) : compact;
    {
        velt::livemill::Worker worker(config, seedlink.monitorFor(monitor, config.inputCount), options, clock);
        worker.setUp();
        seedlink.attach(worker);
        worker.run(stopRequested);
    }
    compact.printAll();
    if (!check.ok()) {
        std::fprintf(stderr, "livemill: %d of %d inputs did not run: their settings are wrong (see above)\n",
                     config.inputCount - running, config.inputCount);
        return velt::platform::kExitUsage;
    }
    return velt::platform::kExitDone;
}
