#include "livemill/status_board.h"

#include <optional>

#include "platform/program.h"
#include "recorder/configuration_record.h"
#include "serve/status_text.h"

namespace velt::livemill {

namespace {

const char* stateOf(const StatusBoard::Input& in) {
    if (in.waiting) return "waiting";
    return in.lastBlockTime == 0 ? "starting" : "converting";
}

}  // namespace

StatusBoard::StatusBoard(int inputCount, const serve::SeedlinkServer& server, const platform::Clock& clock)
    : inputCount_(inputCount < 0 ? 0 : inputCount > kMaxInputs ? kMaxInputs : inputCount),
      server_(server),
      clock_(clock),
      started_(clock.now()) {}

recorder::StatusMonitor& StatusBoard::wrap(recorder::StatusMonitor& inner) {
    inner_ = &inner;
    return *this;
}

void StatusBoard::setSeedlinkStation(int input, int station) {
    update(input, [station](Input& in) { in.seedlinkStation = station; });
}

template <typename Change>
void StatusBoard::update(int input, Change change) {
    if (input < 0 || input >= inputCount_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    change(inputs_[std::size_t(input)]);
}

void StatusBoard::setLastActive(int input, int64_t seconds) {
    if (inner_) inner_->setLastActive(input, seconds);
}

void StatusBoard::setInputFile(int input, long file) {
    if (inner_) inner_->setInputFile(input, file);
}

void StatusBoard::setOffset(int input, long offset) {
    if (inner_) inner_->setOffset(input, offset);
}

void StatusBoard::setDeviceNumber(int input, long value) {
    update(input, [value](Input& in) { in.device = value; });
    if (inner_) inner_->setDeviceNumber(input, value);
}

void StatusBoard::setConfigNumber(int input, long value) {
    update(input, [value](Input& in) { in.configuration = value; });
    if (inner_) inner_->setConfigNumber(input, value);
}

void StatusBoard::setBlockNumber(int input, long value) {
    update(input, [value](Input& in) { in.block = value; });
    if (inner_) inner_->setBlockNumber(input, value);
}

void StatusBoard::setLastBlockTime(int input, int64_t seconds) {
    update(input, [seconds](Input& in) { in.lastBlockTime = seconds; });
    if (inner_) inner_->setLastBlockTime(input, seconds);
}

void StatusBoard::setRestartNumber(int input, long value) {
    update(input, [value](Input& in) { in.restart = value; });
    if (inner_) inner_->setRestartNumber(input, value);
}

void StatusBoard::setStationName(int input, const char* name) {
    update(input, [name](Input& in) { in.station = name; });
    if (inner_) inner_->setStationName(input, name);
}

void StatusBoard::setChannelName(int input, int channel, const char* name) {
    if (channel >= 0 && channel < recorder::kConfigChannels)
        update(input, [channel, name](Input& in) {
            if (in.channels.size() <= std::size_t(channel)) in.channels.resize(std::size_t(channel) + 1);
            in.channels[std::size_t(channel)] = name;
        });
    if (inner_) inner_->setChannelName(input, channel, name);
}

void StatusBoard::logLine(int input, const char* text) {
    if (inner_) inner_->logLine(input, text);
}

void StatusBoard::setWaiting(int input, int flag) {
    update(input, [flag](Input& in) { in.waiting = flag != 0; });
    if (inner_) inner_->setWaiting(input, flag);
}

void StatusBoard::setPosition(int input, long file, long offset) {
    update(input, [file, offset](Input& in) {
        in.file = file;
        in.offset = offset;
    });
    if (inner_) inner_->setPosition(input, file, offset);
}

void StatusBoard::setRowsWaiting(int input, long rows) {
    update(input, [rows](Input& in) { in.rowsWaiting = rows; });
    if (inner_) inner_->setRowsWaiting(input, rows);
}

void StatusBoard::setOutputTally(int input, const char* output, uint64_t files, uint64_t bytes) {
    update(input, [output, files, bytes](Input& in) {
        for (Output& o : in.outputs)
            if (o.kind == output) {
                o.files = files;
                o.bytes = bytes;
                return;
            }
        in.outputs.push_back({output, files, bytes});
    });
    if (inner_) inner_->setOutputTally(input, output, files, bytes);
}

void StatusBoard::flush() {
    if (inner_) inner_->flush();
}

std::vector<StatusBoard::Input> StatusBoard::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {inputs_.begin(), inputs_.begin() + inputCount_};
}

bool StatusBoard::answer(std::string_view path, std::string_view, serve::HttpAnswer& answer) {
    return serve::answerStatus(path, answer, [this] { return statusJson(); }, [this] { return metricsText(); });
}

std::string StatusBoard::statusJson() const {
    const std::vector<Input> inputs = snapshot();
    const int64_t now = clock_.now();
    serve::JsonWriter j;
    j.beginObject()
        .member("program", "livemill")
        .member("version", platform::programVersion())
        .member("now", serve::isoSeconds(now))
        .member("started", serve::isoSeconds(started_));
    j.key("seedlink").beginObject();
    j.member("clients", uint64_t(server_.clientCount())).member("websocket", "/seedlink").endObject();
    j.key("inputs").beginArray();
    for (std::size_t n = 0; n < inputs.size(); ++n) {
        const Input& in = inputs[n];
        j.beginObject().member("input", int64_t(n)).member("station", in.station);
        j.member("seedlink_station", in.seedlinkStation >= 0 ? server_.stationId(in.seedlinkStation) : std::string());
        j.key("channels").beginArray();
        for (const std::string& c : in.channels) j.value(c);
        j.endArray();
        j.member("state", stateOf(in))
            .member("device", int64_t(in.device))
            .member("configuration", int64_t(in.configuration))
            .member("restart", int64_t(in.restart))
            .member("block", int64_t(in.block));
        j.key("last_block_time");
        if (in.lastBlockTime != 0)
            j.value(serve::isoSeconds(in.lastBlockTime));
        else
            j.null();
        j.key("lag_seconds");
        if (in.lastBlockTime != 0)
            j.value(now - in.lastBlockTime);
        else
            j.null();
        j.member("input_file", int64_t(in.file))
            .member("offset", int64_t(in.offset))
            .member("filelist_rows_waiting", int64_t(in.rowsWaiting));
        j.key("outputs").beginArray();
        for (const Output& o : in.outputs)
            j.beginObject().member("kind", o.kind).member("files", o.files).member("bytes", o.bytes).endObject();
        j.endArray().endObject();
    }
    j.endArray().endObject();
    return j.text() + "\n";
}

std::string StatusBoard::metricsText() const {
    const std::vector<Input> inputs = snapshot();
    const int64_t now = clock_.now();
    using Labels = serve::MetricsWriter::Labels;
    auto labels = [&inputs](std::size_t n) {
        return Labels{{"input", std::to_string(n)}, {"station", inputs[n].station}};
    };
    serve::MetricsWriter m;
    // A gauge with a sample for every input that has a value (none: absent).
    auto perInput = [&](const char* name, const char* help, auto value) {
        m.family(name, "gauge", help);
        for (std::size_t n = 0; n < inputs.size(); ++n)
            if (const std::optional<double> v = value(inputs[n])) m.sample(labels(n), *v);
    };
    auto perOutput = [&](const char* name, const char* help, uint64_t Output::*count) {
        m.family(name, "counter", help);
        for (std::size_t n = 0; n < inputs.size(); ++n)
            for (const Output& o : inputs[n].outputs) {
                Labels l = labels(n);
                l.emplace_back("output", o.kind);
                m.sample(l, double(o.*count));
            }
    };
    using Value = std::optional<double>;
    m.family("velt_livemill_start_time_seconds", "gauge", "When the converter started, seconds since 1970 UTC.");
    m.sample({}, double(started_));
    m.family("velt_livemill_seedlink_clients", "gauge", "SeedLink clients now, WebSocket ones among them.");
    m.sample({}, double(server_.clientCount()));
    perInput("velt_livemill_input_waiting", "1 while the input waits for new data.",
             [](const Input& in) -> Value { return in.waiting ? 1 : 0; });
    perInput("velt_livemill_input_last_block_time_seconds",
             "Time of the last block converted, seconds since 1970 UTC (absent before the first).",
             [](const Input& in) -> Value {
                 return in.lastBlockTime != 0 ? Value(double(in.lastBlockTime)) : std::nullopt;
             });
    perInput("velt_livemill_input_lag_seconds", "How far the last block converted lies behind the clock.",
             [now](const Input& in) -> Value {
                 return in.lastBlockTime != 0 ? Value(double(now - in.lastBlockTime)) : std::nullopt;
             });
    perInput("velt_livemill_input_block_number", "Number of the last block checked.",
             [](const Input& in) -> Value { return double(in.block); });
    perInput("velt_livemill_input_restart_number", "The recorder's restart number.",
             [](const Input& in) -> Value { return double(in.restart); });
    perInput("velt_livemill_input_file_number", "Number of the input file being read.",
             [](const Input& in) -> Value { return double(in.file); });
    perInput("velt_livemill_input_offset_bytes", "Reading position in the input file.",
             [](const Input& in) -> Value { return double(in.offset); });
    perInput("velt_livemill_filelist_rows_waiting", "FILELIST rows waiting for the database.",
             [](const Input& in) -> Value { return double(in.rowsWaiting); });
    perOutput("velt_livemill_output_files_total", "Output files begun since the start.", &Output::files);
    perOutput("velt_livemill_output_bytes_total", "Bytes written to output files since the start.", &Output::bytes);
    return m.text();
}

}  // namespace velt::livemill
