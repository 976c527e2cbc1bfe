#include "cardmill/card_conversion.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cardmill/card_stream.h"
#include "outputs/filelist_database.h"
#include "outputs/four_int_output.h"
#include "outputs/qrx_output.h"
#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::cardmill {

namespace {

constexpr const char* kWho = "cardmill";
constexpr int kStepsPerPass = 10;
constexpr int kPassesPerAbortCheck = 1000;
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

}  // namespace

ConversionSummary convertDevices(const CardmillSettings& settings, const std::vector<DeviceRange>& selected,
                                 const std::atomic<bool>& abort, ConversionView& view) {
    ConversionSummary summary;
    view.showStatus("Conversion in progress ...");
    CardDirectory dataIn, archive;
    if (dataIn.scan(settings.dataInDir) != 0)
        VELT_LOG_ERROR(kWho, "cannot list the data-in directory '%s'", settings.dataInDir.c_str());
    if (!settings.dataArchDir.empty()) archive.scan(settings.dataArchDir);
    int64_t total = 0, done = 0;
    for (const DeviceRange& range : selected) total += bytesOf(dataIn, range);

    for (const DeviceRange& range : selected) {
        // Fresh outputs for every device: the next device never continues a
        // file of the one before.
        CardStreamReader reader(dataIn, archive, range.device, range.first, range.last);
        CardStreamConverter converter(reader, kStepsPerPass);
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
        converter.attach(&sinks);
        reader.open();
        int passes = 0;
        int64_t shownFile = -1, readHere = 0;
        for (;;) {
            if (passes <= 0) {
                if (abort.load()) {
                    summary.aborted = true;
                    break;
                }
                passes = kPassesPerAbortCheck;
                view.showBytes(range.device, shownFile, std::min(total, done + readHere), total);
            }
            --passes;
            if (converter.inputExhausted()) {
                ++summary.devicesConverted;
                break;
            }
            converter.runPass();
            readHere += kStepsPerPass;
            StreamPosition p;
            if (reader.getPosition(p) != 0) continue;
            if (p.file != shownFile) {
                shownFile = p.file;
                view.showProgress(progressText(range.device, shownFile));
                view.showBytes(range.device, shownFile, std::min(total, done + readHere), total);
            }
        }
        done += bytesOf(dataIn, range);
        view.showProgress("");
        reader.close();
        if (sinks.commit() != 0) {
            ++summary.outputFailures;
            VELT_LOG_ERROR(kWho, "device %u: the outputs could not all be written", range.device);
        }
        sinks.closeOutputs();
        if (settings.autoCopyToArchive) {
            view.showProgress("Copy files to archive");
            const CopyTotals c = copyDeviceToArchive(dataIn, settings.dataArchDir, range);
            summary.copies.copied += c.copied;
            summary.copies.identical += c.identical;
            summary.copies.renamed += c.renamed;
            summary.copies.failed += c.failed;
            view.showProgress(c.failed > 0 ? std::to_string(c.failed) + " files not copied" : "");
        }
    }
    view.showStatus("Conversion complited");
    return summary;
}

}  // namespace velt::cardmill
