// Steim-2 compression throughput for one day of a 100-sps channel, beside
// libmseed's own Steim-2 packer on the same samples in the same process.
// The Ratio benchmark times both in every iteration and reports
// velt_sps / libmseed_sps as "ratio".
#include <benchmark/benchmark.h>
#include <libmseed.h>

#include <cmath>
#include <numbers>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "outputs/mseed_header.h"
#include "outputs/steim_compressor.h"

namespace {

using velt::outputs::MseedHeader;
using velt::outputs::SteimCompressor;

constexpr uint32_t kRate = 100;
constexpr std::size_t kDaySamples = 86400u * kRate;
constexpr int64_t kStart = 1'700'000'000;

// A seeded, seismometer-like day: microseism swell, slow drift, background
// noise, and a few decaying event bursts, clipped to 24 bits.
const std::vector<int32_t>& daySignal() {
    static const std::vector<int32_t> samples = [] {
        std::mt19937 rng(8641);
        std::normal_distribution<double> noise(0.0, 25.0);
        std::uniform_real_distribution<double> uni(0.0, 1.0);
        std::vector<int32_t> s(kDaySamples);
        double drift = 0, burst = 0, burstPhase = 0;
        for (std::size_t i = 0; i < kDaySamples; ++i) {
            const double t = double(i) / kRate;
            drift += noise(rng) * 0.02;
            if (uni(rng) < 2e-6) burst = 2e5 * uni(rng);  // a few events a day
            burst *= 0.9995;
            burstPhase += 0.6;
            constexpr double kTwoPi = 2 * std::numbers::pi;
            const double v = 1800 * std::sin(kTwoPi * 0.17 * t) + 600 * std::sin(kTwoPi * 0.31 * t + 1) +
                             drift + noise(rng) + burst * std::sin(burstPhase);
            s[i] = int32_t(std::fmax(-8388608.0, std::fmin(8388607.0, v)));
        }
        return s;
    }();
    return samples;
}

struct VeltPacker {
    SteimCompressor compressor;
    std::vector<uint8_t> out = std::vector<uint8_t>(SteimCompressor::maxRecords(kDaySamples) * 512);
    velt::recorder::ConfigurationRecord config;

    int pack(const std::vector<int32_t>& s) {
        config.sampleRate = kRate;
        MseedHeader header = velt::outputs::buildRunHeader(config, 0, kStart, 0);
        const auto b1000 = velt::outputs::blockette1000();
        return compressor.compress(s.data(), s.size(), header, 512, out.data(), out.size(),
                                   b1000.data(), b1000.size());
    }
};

struct LibmseedPacker {
    std::vector<uint8_t> out = std::vector<uint8_t>(SteimCompressor::maxRecords(kDaySamples) * 512 * 2);
    std::size_t used = 0;
    MSTrace* trace = nullptr;

    static void handler(char* record, int length, void* self) {
        auto* p = static_cast<LibmseedPacker*>(self);
        if (p->used + std::size_t(length) <= p->out.size())
            std::memcpy(p->out.data() + p->used, record, std::size_t(length));
        p->used += std::size_t(length);
    }

    // Builds the trace to pack (untimed: libmseed consumes the samples).
    void prepare(const std::vector<int32_t>& s) {
        trace = mst_init(nullptr);
        std::strcpy(trace->station, "VELT");
        std::strcpy(trace->channel, "SHZ");
        trace->dataquality = 'D';
        trace->starttime = MS_EPOCH2HPTIME(kStart);
        trace->samprate = kRate;
        trace->sampletype = 'i';
        trace->numsamples = int64_t(s.size());
        trace->samplecnt = int64_t(s.size());
        trace->datasamples = std::malloc(s.size() * sizeof(int32_t));
        std::memcpy(trace->datasamples, s.data(), s.size() * sizeof(int32_t));
        used = 0;
    }

    int pack() {
        int64_t packed = 0;
        const int records = mst_pack(trace, handler, this, 512, DE_STEIM2, 1, &packed, 1, 0, nullptr);
        mst_free(&trace);
        return records;
    }
};

void BM_Steim2_Velt(benchmark::State& state) {
    const auto& s = daySignal();
    VeltPacker packer;
    int records = 0;
    for (auto _ : state) {
        records = packer.pack(s);
        benchmark::DoNotOptimize(packer.out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.size()));
    state.counters["records"] = records;
    state.counters["bytes_per_sample"] = double(records) * 512 / double(s.size());
}
BENCHMARK(BM_Steim2_Velt)->Unit(benchmark::kMillisecond);

void BM_Steim2_Libmseed(benchmark::State& state) {
    const auto& s = daySignal();
    LibmseedPacker packer;
    int records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        packer.prepare(s);
        state.ResumeTiming();
        records = packer.pack();
        benchmark::DoNotOptimize(packer.out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.size()));
    state.counters["records"] = records;
    state.counters["bytes_per_sample"] = double(records) * 512 / double(s.size());
}
BENCHMARK(BM_Steim2_Libmseed)->Unit(benchmark::kMillisecond);

// Both packers on the same day in every iteration; reports their rates and
// the ratio velt / libmseed.
// Timed with the thread's CPU clock, so other load on the machine does not
// tilt the ratio.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_Steim2_Ratio(benchmark::State& state) {
    const auto& s = daySignal();
    VeltPacker velt;
    LibmseedPacker lib;
    double veltSeconds = 0, libSeconds = 0;
    for (auto _ : state) {
        double t0 = threadSeconds();
        benchmark::DoNotOptimize(velt.pack(s));
        veltSeconds += threadSeconds() - t0;
        lib.prepare(s);
        t0 = threadSeconds();
        benchmark::DoNotOptimize(lib.pack());
        libSeconds += threadSeconds() - t0;
    }
    const double n = double(state.iterations()) * double(s.size());
    state.counters["velt_sps"] = n / veltSeconds;
    state.counters["libmseed_sps"] = n / libSeconds;
    state.counters["ratio"] = libSeconds / veltSeconds;
}
BENCHMARK(BM_Steim2_Ratio)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
