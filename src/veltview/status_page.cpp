#include "veltview/status_page.h"

#include <cstdlib>

#include "platform/program.h"
#include "serve/status_text.h"

namespace velt::veltview {

namespace {

// The JSON names of the window's status fields, in Field order.
constexpr const char* kFieldNames[] = {
    "sample_rate",     "station",        "channel_0",    "channel_1",       "channel_2",
    "current_time",    "time_status",    "time_counter", "del_t",           "c_par",
    "c_par_counter",   "serial_number",  "configuration_number", "start_status", "restart_counter",
    "checksum_errors", "record_code",    "latitude",     "longitude",       "altitude",
    "group_delay",     "sensor_0",       "sensor_1",     "sensor_2"};
static_assert(std::size(kFieldNames) == std::size_t(Field::Count), "one name a field");

long number(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

}  // namespace

MonitorStatusPage::MonitorStatusPage(MonitorFields& fields, WriterWindow& writers, MonitorUi& ui,
                                     const platform::Clock& clock)
    : fields_(fields), writers_(writers), ui_(ui), clock_(clock), started_(clock.now()) {}

void MonitorStatusPage::setField(Field field, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.fields[std::size_t(field)] = text;
        if (field == Field::ChannelName0 || field == Field::ChannelName1 || field == Field::ChannelName2)
            samples_.setChannels({shown_.fields[std::size_t(Field::ChannelName0)],
                                  shown_.fields[std::size_t(Field::ChannelName1)],
                                  shown_.fields[std::size_t(Field::ChannelName2)]});
    }
    fields_.setField(field, text);
}

void MonitorStatusPage::setRealtimeFileNumber(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.realtimeFile = text;
    }
    writers_.setRealtimeFileNumber(text);
}

void MonitorStatusPage::setRealtimeBytes(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.realtimeBytes = text;
    }
    writers_.setRealtimeBytes(text);
}

void MonitorStatusPage::setRealtimeState(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.realtimeState = text;
    }
    writers_.setRealtimeState(text);
}

void MonitorStatusPage::setArchiveState(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.archiveState = text;
    }
    writers_.setArchiveState(text);
}

void MonitorStatusPage::setLinkText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.linkText = text;
        if (text.rfind("connected", 0) == 0) {
            shown_.linkState = "connected";
            ++shown_.connects;
        } else if (text.rfind("reconnecting", 0) == 0) {
            shown_.linkState = "reconnecting";
        } else if (text.rfind("Input Stream not opened", 0) == 0) {
            shown_.linkState = "not opened";
        } else if (text.rfind("recorder stopped", 0) == 0) {
            shown_.linkState = "stopped";
        } else {
            shown_.linkState = "lost";  // the link's own words for a drop
        }
    }
    ui_.setLinkText(text);
}

MonitorStatusPage::Shown MonitorStatusPage::copy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

bool MonitorStatusPage::answer(std::string_view path, std::string_view query, serve::HttpAnswer& answer) {
    if (serve::answerStatus(path, answer, [this] { return statusJson(); }, [this] { return metricsText(); }))
        return true;
    if (path == "/samples.json") {
        // "after=N": the first row the page does not have yet.
        uint64_t after = 0;
        const std::size_t at = query.find("after=");
        if (at != std::string_view::npos && (at == 0 || query[at - 1] == '&'))
            for (std::size_t i = at + 6; i < query.size() && query[i] >= '0' && query[i] <= '9'; ++i)
                after = after > UINT64_MAX / 10 - 1 ? UINT64_MAX : after * 10 + uint64_t(query[i] - '0');
        answer = {"application/json", samples_.json(after)};
        return true;
    }
    return false;
}

std::string MonitorStatusPage::statusJson() const {
    const Shown s = copy();
    const int64_t now = clock_.now();
    const int64_t last = samples_.lastTime();
    auto field = [&s](Field f) -> const std::string& { return s.fields[std::size_t(f)]; };
    serve::JsonWriter j;
    j.beginObject()
        .member("program", "veltview")
        .member("version", platform::programVersion())
        .member("now", serve::isoSeconds(now))
        .member("started", serve::isoSeconds(started_));
    j.key("link")
        .beginObject()
        .member("state", s.linkState)
        .member("text", s.linkText)
        .member("reconnects", s.connects > 1 ? s.connects - 1 : 0)
        .endObject();
    j.key("recorder").beginObject();
    j.member("station", field(Field::StationName));
    j.key("channels").beginArray();
    j.value(field(Field::ChannelName0)).value(field(Field::ChannelName1)).value(field(Field::ChannelName2));
    j.endArray();
    j.member("sample_rate", int64_t(number(field(Field::SampleRate))));
    // The recorder's time is known once its time marks have given the base.
    j.member("time_locked", last != 0);
    j.key("last_block_time");
    if (last != 0) j.value(serve::isoSeconds(last)); else j.null();
    j.key("lag_seconds");
    if (last != 0) j.value(now - last); else j.null();
    j.member("checksum_errors", int64_t(number(field(Field::ChecksumErrors))));
    for (std::size_t f = 0; f < std::size_t(Field::Count); ++f) {
        if (Field(f) == Field::SampleRate || Field(f) == Field::StationName || Field(f) == Field::ChecksumErrors)
            continue;
        j.member(kFieldNames[f], s.fields[f]);
    }
    j.endObject();
    j.key("writers").beginObject();
    j.key("realtime").beginObject().member("state", s.realtimeState).member("file", s.realtimeFile);
    j.member("bytes", int64_t(number(s.realtimeBytes))).endObject();
    j.key("archive").beginObject().member("state", s.archiveState.empty() ? std::string("off") : s.archiveState);
    j.endObject().endObject();
    j.endObject();
    return j.text() + "\n";
}

std::string MonitorStatusPage::metricsText() const {
    const Shown s = copy();
    const int64_t now = clock_.now();
    const int64_t last = samples_.lastTime();
    const std::string station = s.fields[std::size_t(Field::StationName)];
    const serve::MetricsWriter::Labels labels{{"station", station}};
    serve::MetricsWriter m;
    m.family("velt_veltview_start_time_seconds", "gauge", "When the monitor started, seconds since 1970 UTC.");
    m.sample({}, double(started_));
    m.family("velt_veltview_link_connected", "gauge", "1 while the link to the recorder is up.");
    m.sample(labels, s.linkState == "connected" ? 1 : 0);
    m.family("velt_veltview_link_reconnects_total", "counter", "Times the link was made again after the first.");
    m.sample(labels, s.connects > 1 ? s.connects - 1 : 0);
    m.family("velt_veltview_checksum_errors_total", "counter", "Blocks with a wrong checksum in this run.");
    m.sample(labels, double(number(s.fields[std::size_t(Field::ChecksumErrors)])));
    m.family("velt_veltview_rows_received_total", "counter", "Sample rows (one sample of each channel) received.");
    m.sample(labels, double(samples_.rows()));
    m.family("velt_veltview_sample_rate_hertz", "gauge", "Rows a second of the stream.");
    m.sample(labels, double(number(s.fields[std::size_t(Field::SampleRate)])));
    m.family("velt_veltview_last_block_time_seconds", "gauge",
             "The recorder's time at the end of the last block, seconds since 1970 UTC (absent before it is known).");
    if (last != 0) m.sample(labels, double(last));
    m.family("velt_veltview_lag_seconds", "gauge", "How far the last block lies behind the clock.");
    if (last != 0) m.sample(labels, double(now - last));
    m.family("velt_veltview_realtime_file_bytes", "gauge", "Bytes in the real-time file being written.");
    m.sample(labels, double(number(s.realtimeBytes)));
    // The states are texts with changing numbers in them: as labels they
    // would make a new series at every scrape, so only "writing or not" is a number.
    m.family("velt_veltview_writer_writing", "gauge",
             "1 while the writer writes (its state in words is in /status.json).");
    m.sample({{"writer", "realtime"}}, s.realtimeState.rfind("writing", 0) == 0 ? 1 : 0);
    m.sample({{"writer", "archive"}}, s.archiveState.rfind("writing", 0) == 0 ? 1 : 0);
    return m.text();
}

}  // namespace velt::veltview
