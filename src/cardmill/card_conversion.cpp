#include "cardmill/card_conversion.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cardmill/card_stream.h"
#include "conversion/stream_converter.h"
#include "outputs/filelist_database.h"
#include "outputs/four_int_output.h"
#include "outputs/qrx_output.h"
#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::cardmill {

namespace {

constexpr const char* kWho = "cardmill";
constexpr int kBytesPerPass = 4096;  // the abort request is looked at after every pass
constexpr int kQrxBlocksBuffered = 600;

// Stream bytes of the data-in files the reader visits for `range`.
int64_t bytesOf(const CardDirectory& dir, const DeviceRange& range) {
    int64_t total = 0;
    for (const CardEntry& e : dir.entries())
        if (e.device == range.device && e.number >= range.first && e.number <= range.last)
            total += std::max<int64_t>(0, platform::fileSize(dir.pathOf(e)) - int64_t(recorder::card::kHeaderBytes));
    return total;
}

std::string progressText(uint32_t device, int64_t file) {
    char text[64];
    std::snprintf(text, sizeof text, "device:%lXh  file: %lXh", (unsigned long)device, (unsigned long)file);
    return text;
}

void copyToArchive(const CardDirectory& dataIn, const std::string& archiveDir, const std::vector<DeviceRange>& selected,
                   const CopyControl& control, ConversionView& view, ConversionSummary& summary) {
    view.showProgress("Copy files to archive");
    CopyControl shown = control;
    shown.progress = [&view](const CopyProgress& p) { view.showCopy(p); };
    view.showCopying(true);
    const CopyPhase copy = copyDevicesToArchive(dataIn, archiveDir, selected, shown);
    view.showCopying(false);
    summary.copies = copy.totals;
    for (std::size_t i = 0; i < summary.devices.size() && i < copy.devices.size(); ++i)
        summary.devices[i].copies = copy.devices[i];
    summary.copyInterrupted = copy.interrupted;
    summary.notCopied = copy.notCopied;
    std::string text;
    if (copy.totals.failed > 0) text = std::to_string(copy.totals.failed) + " files not copied";
    if (copy.interrupted)
        text += (text.empty() ? "" : "; ") + std::string("copy interrupted: ") + std::to_string(copy.notCopied.size()) +
                " files not copied";
    view.showProgress(text);
}

}  // namespace

ConversionSummary convertDevices(const CardmillSettings& settings, const std::vector<DeviceRange>& selected,
                                 const std::atomic<bool>& abort, ConversionView& view, const CopyControl& copyControl) {
    ConversionSummary summary;
    view.showStatus("Conversion in progress ...");
    CardDirectory dataIn, archive;
    if (dataIn.scan(settings.dataInDir) != 0)
        VELT_LOG_ERROR(kWho, "cannot list the data-in directory '%s'", settings.dataInDir.c_str());
    if (!settings.dataArchDir.empty()) archive.scan(settings.dataArchDir);
    int64_t total = 0, done = 0;
    for (const DeviceRange& range : selected) total += bytesOf(dataIn, range);

    for (const DeviceRange& range : selected) {
        DeviceResult result;
        result.device = range.device;
        // Fresh outputs for every device: the next device never continues a
        // file of the one before.
        CardStreamReader reader(dataIn, archive, range.device, range.first, range.last);
        conversion::StreamConverter converter(reader, kBytesPerPass);
        converter.setCardMode();
        conversion::SinkList sinks;
        std::unique_ptr<outputs::FourIntOutput> fourInt;
        std::unique_ptr<outputs::QrxOutput> qrx;
        if (settings.fourIntOn) {
            fourInt = std::make_unique<outputs::FourIntOutput>();
            fourInt->setOutputPrefix(settings.fourIntDir);
            fourInt->setBlocksPerFile(settings.secondsInFile);
            fourInt->setLogName("4-int");
            sinks.add(fourInt.get());
        }
        if (settings.qrxOn) {
            qrx = std::make_unique<outputs::QrxOutput>(
                outputs::QrxSettings{settings.qrxDataDirectory,
                                     std::string(outputs::FileListDatabase::kCardmillConnection)},
                kQrxBlocksBuffered, settings.qrxJournal);
            sinks.add(qrx.get());
        }
        // Every loss of data is logged as an error: one logged while this
        // device's outputs work means they did not get everything.
        const uint64_t errorsBefore = platform::errorsLogged();
        converter.attach(0, nullptr, &sinks);
        reader.open();
        const int64_t deviceBytes = bytesOf(dataIn, range);
        int64_t shownFile = -1, readHere = 0;
        view.showBytes(range.device, shownFile, done, total);
        for (;;) {
            if (abort.load()) {
                summary.aborted = true;
                break;
            }
            converter.runPass();
            if (converter.starved()) {
                result.converted = true;
                ++summary.devicesConverted;
                break;
            }
            readHere = std::min(deviceBytes, readHere + kBytesPerPass);
            StreamPosition p;
            if (reader.getPosition(p) != 0) continue;
            if (p.file != shownFile) {
                shownFile = p.file;
                view.showProgress(progressText(range.device, shownFile));
            }
            view.showBytes(range.device, shownFile, std::min(total, done + readHere), total);
        }
        done += deviceBytes;
        view.showProgress("");
        reader.close();
        if (sinks.commit() != 0) result.outputsFailed = true;
        sinks.closeOutputs();
        if (qrx) result.rowsWaiting = qrx->rowsWaiting();
        if (platform::errorsLogged() != errorsBefore) result.outputsFailed = true;
        const conversion::StreamConverter::Counts counts = converter.counts();
        result.written = counts.delivered;
        result.damaged = counts.damaged;
        result.notPlaced = counts.notPlaced;
        if (result.notPlaced > 0)
            VELT_LOG_WARNING(kWho, "device %u: %llu blocks at the end of its stream could not be verified and were not written",
                             range.device, static_cast<unsigned long long>(result.notPlaced));
        if (result.outputsFailed) {
            ++summary.outputFailures;
            VELT_LOG_ERROR(kWho, "device %u: the outputs could not all be written", range.device);
        }
        summary.devices.push_back(result);
    }
    if (!summary.devices.empty()) summary.rowsWaiting = summary.devices.back().rowsWaiting;
    if (settings.autoCopyToArchive) copyToArchive(dataIn, settings.dataArchDir, selected, copyControl, view, summary);
    view.showStatus(summary.failed() ? "Conversion complited with errors: see the summary of each device"
                                     : "Conversion complited");
    return summary;
}

std::string describe(const DeviceResult& d) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "device %lXh: %llu blocks written, %llu damaged, %llu not placed%s; files %d copied, %d skipped, "
                  "%d not copied; %zu FILELIST rows waiting",
                  (unsigned long)d.device, (unsigned long long)d.written, (unsigned long long)d.damaged,
                  (unsigned long long)d.notPlaced, d.outputsFailed ? ", outputs failed" : "",
                  d.copies.copied, d.copies.identical, d.copies.failed, d.rowsWaiting);
    return text;
}

}  // namespace velt::cardmill
