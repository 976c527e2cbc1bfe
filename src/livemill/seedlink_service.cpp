#include "livemill/seedlink_service.h"

#include "livemill/worker.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/program.h"

namespace velt::livemill {

SeedlinkService::SeedlinkService(serve::SeedlinkSettings settings, std::string settingsFile)
    : settings_(std::move(settings)), settingsFile_(std::move(settingsFile)) {}

SeedlinkService::~SeedlinkService() {
    if (server_) server_->stop();
}

int SeedlinkService::open(std::string& error) {
    if (!enabled()) return 0;
    server_ = std::make_unique<serve::SeedlinkServer>(settings_, std::string("livemill/") + platform::programVersion());
    std::string reason;
    if (server_->open(reason) != 0) {
        error = settingsFile_ + ": [SEEDLINK] LISTEN: " + reason;
        server_.reset();
        return -1;
    }
    return 0;
}

recorder::StatusMonitor& SeedlinkService::monitorFor(recorder::StatusMonitor& inner, int inputCount) {
    if (!server_) return inner;
    if (!board_) board_ = std::make_unique<StatusBoard>(inputCount, *server_, platform::systemClock());
    return board_->wrap(inner);
}

void SeedlinkService::attach(Worker& worker) {
    if (!server_) return;
    int stations = 0;
    for (int n = 0; n < worker.inputCount(); ++n) {
        outputs::MseedFileStore* store = worker.mseedStore(n);
        if (store == nullptr) continue;
        const std::string name = "INP" + std::to_string(n) + " SeedLink";
        const int index = server_->addStation(std::make_unique<serve::StationFiles>(store->filePrefix(), name),
                                              store->committedFiles(), store->committedSequence());
        serve::SeedlinkServer* server = server_.get();
        store->setCommitListener(
            [server, index](uint32_t endFile, uint64_t endSequence) { server->committed(index, endFile, endSequence); });
        if (board_) board_->setSeedlinkStation(n, index);
        ++stations;
    }
    server_->setPages(board_.get());
    if (stations == 0)
        VELT_LOG_WARNING("SeedLink", "no input has a miniSEED store ([OUTMSEEDFS] CONFFILE): nothing to serve");
    server_->start();
    VELT_LOG_INFO("SeedLink", "serving %d station%s on %s (port %u)", stations, stations == 1 ? "" : "s",
                  settings_.listen.c_str(), unsigned(server_->port()));
    if (board_)
        VELT_LOG_INFO("HTTP", "serving the status page at %s (port %u)",
                      serve::pageAddress(settings_.listen, server_->port()).c_str(), unsigned(server_->port()));
}

}  // namespace velt::livemill
