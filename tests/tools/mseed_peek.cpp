// mseed_peek: reads miniSEED files with libmseed, an independent reader, and
// prints the first records and a check of all of them. Test support for the
// demo and the benchmarks only: libmseed is never linked into a program we
// ship.
//
//   mseed_peek [--records N] FILE...
//
// Every record is parsed and its samples decoded. A record that does not
// parse, a decoded sample count that differs from the header's, a message
// from the decoder (e.g. a failed integrity check) or a break in a channel's
// time line (a record that does not start where the previous one of that
// channel ended, within half a sample) is counted as a problem; the exit
// status is 1 when there is any, or when no record was found.
#include <libmseed.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

int g_messages = 0;

void collectMessage(char* message) {
    if (++g_messages <= 5) std::fprintf(stderr, "mseed_peek: libmseed: %s", message);
}

struct ChannelLine {
    hptime_t nextStart = 0;
    int64_t samples = 0;
};

std::vector<char> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
    long show = 5;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--records") == 0 && i + 1 < argc) {
            show = std::strtol(argv[++i], nullptr, 10);
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: mseed_peek [--records N] FILE...\n");
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    ms_loginit(collectMessage, nullptr, collectMessage, nullptr);

    long records = 0;
    long problems = 0;
    long gaps = 0;
    std::map<std::string, ChannelLine> channels;
    std::vector<std::string> order;  // channels in order of appearance
    for (const char* path : files) {
        std::vector<char> bytes = readFile(path);
        std::size_t at = 0;
        while (at < bytes.size()) {
            MSRecord* msr = nullptr;
            // Record length 0: libmseed takes it from blockette 1000.
            const int rc = msr_parse(bytes.data() + at, int(bytes.size() - at), &msr, 0, 1, 0);
            if (rc != MS_NOERROR || msr == nullptr || msr->reclen <= 0) {
                std::fprintf(stderr, "mseed_peek: %s: no record at offset %zu\n", path, at);
                ++problems;
                msr_free(&msr);
                break;
            }
            ++records;
            if (msr->numsamples != msr->samplecnt) ++problems;
            char start[64];
            ms_hptime2isotimestr(msr->starttime, start, 1);
            const std::string id = std::string(msr->network) + "." + msr->station + "." +
                                   msr->location + "." + msr->channel;
            if (records <= show)
                std::printf("  %-16s %s  %4" PRId64 " samples  %g sps  seq %06d\n", id.c_str(), start,
                            msr->samplecnt, msr->samprate, int(msr->sequence_number));
            auto [line, fresh] = channels.try_emplace(id);
            if (fresh) order.push_back(id);
            if (!fresh && msr->samprate > 0 &&
                std::fabs(double(msr->starttime - line->second.nextStart)) > 0.5 * HPTMODULUS / msr->samprate)
                ++gaps;
            line->second.samples += msr->samplecnt;
            line->second.nextStart =
                msr->samprate > 0 ? msr->starttime + hptime_t(std::llround(double(msr->samplecnt) *
                                                                           HPTMODULUS / msr->samprate))
                                  : msr->starttime;
            at += std::size_t(msr->reclen);
            msr_free(&msr);
        }
    }
    int64_t samples = 0;
    std::string perChannel;
    for (const std::string& id : order) {
        samples += channels[id].samples;
        perChannel += (perChannel.empty() ? "" : ", ") + id + " " + std::to_string(channels[id].samples);
    }
    problems += g_messages + gaps;
    std::printf("mseed_peek: %ld records in %zu files, %" PRId64 " samples (%s); %ld breaks in time, "
                "%ld problems\n",
                records, files.size(), samples, perChannel.c_str(), gaps, problems);
    return problems == 0 && records > 0 ? 0 : 1;
}
