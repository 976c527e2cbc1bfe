// Throughput of the input path: a directory holding one hour of 100-sps
// stream read by InputReader, cut into blocks by StreamConverter and decoded
// by BlockDecoder into a sink that only counts samples. The baseline reads the
// same files with plain buffered reads in the same run; the result is the
// ratio of the two. A third case persists the position after every block
// (no throttling) to show what the throttle saves.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "livemill/input_reader.h"
#include "conversion/stream_converter.h"
#include "platform/ini_file.h"
#include "recorder/signal_generator.h"
#include "recorder/status_monitor.h"
#include "recorder/stream_encoder.h"

namespace {

namespace fs = std::filesystem;
using namespace velt;

constexpr int kBlocks = 3600;
constexpr std::size_t kFileBytes = 100000;

struct Fixture {
    fs::path dir;
    std::vector<std::string> files;
    std::size_t bytes = 0;

    Fixture() {
        dir = fs::temp_directory_path() / ("velt-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir / "rt");
        recorder::EncoderSettings s;
        recorder::StreamEncoder encoder(s);
        recorder::SignalGenerator signal(2026);
        std::vector<uint8_t> stream;
        encoder.encodeBlocks(kBlocks, signal, stream);
        bytes = stream.size();
        long number = 1;
        for (std::size_t at = 0; at < stream.size(); at += kFileBytes, ++number) {
            char name[24];
            std::snprintf(name, sizeof name, "%8.8lX", static_cast<unsigned long>(number));
            const std::string path = (dir / "rt" / name).string();
            std::FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(stream.data() + at, 1, std::min(kFileBytes, stream.size() - at), f);
            std::fclose(f);
            files.push_back(path);
        }
    }
    ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

std::map<std::string, double> rates;  // bytes per second by case

class CountingSink final : public conversion::OutputSink {
public:
    void putSample(int32_t) override { ++samples; }
    void setTime(int32_t) override {}
    void clearSamples() override {}
    void flushChannel() override {}
    void setConfiguration(const recorder::ConfigurationRecord&) override {}
    void selectChannel(int32_t) override {}
    void closeOutputs() override {}
    uint64_t samples = 0;
};

void PlainRead(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<char> buffer(5000);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (const auto& path : f.files) {
            std::FILE* in = std::fopen(path.c_str(), "rb");
            std::size_t n;
            while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
                for (std::size_t i = 0; i < n; ++i) sum += uint8_t(buffer[i]);
            std::fclose(in);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}

void Convert(benchmark::State& state, int persistInterval) {
    Fixture& f = fixture();
    const std::string ini = (f.dir / "input.ini").string();
    uint64_t samples = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(ini);
        platform::writeProfileString(ini, "INPUT", "INDIR", (f.dir / "rt").string());
        state.ResumeTiming();
        livemill::InputReader reader(ini, platform::systemClock(), persistInterval);
        reader.open();
        conversion::StreamConverter converter(reader, 10);
        recorder::NullStatusMonitor monitor;
        CountingSink sink;
        converter.setWaitAllowed(false);
        converter.attach(0, &monitor, &sink);
        int dry = 0;
        while (dry < 3) {
            converter.runPass();
            dry = converter.starved() ? dry + 1 : 0;
        }
        samples = sink.samples;
    }
    state.counters["samples"] = double(samples);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}

void ConvertThrottled(benchmark::State& state) { Convert(state, 1); }
void ConvertPersistEveryBlock(benchmark::State& state) { Convert(state, 0); }

BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertThrottled)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertPersistEveryBlock)->Unit(benchmark::kMillisecond)->Iterations(1);

class RateReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates[run.benchmark_name()] = it->second;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double plain = rates["PlainRead"];
    for (const auto& [name, rate] : rates) {
        if (name == "PlainRead" || plain <= 0) continue;
        std::printf("%-40s %8.1f MB/s  = %.3f x plain read (%.1f MB/s)\n", name.c_str(), rate / 1e6, rate / plain,
                    plain / 1e6);
    }
    benchmark::Shutdown();
    return 0;
}
