#include "mseed_test_support.h"

#include <libmseed.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace velt::test {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> listNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::vector<std::string>* g_messages = nullptr;

void collect(char* message) {
    if (g_messages != nullptr) g_messages->emplace_back(message);
}

}  // namespace

DecodedFile decodeRecords(const uint8_t* data, std::size_t size) {
    DecodedFile out;
    g_messages = &out.messages;
    ms_loginit(collect, nullptr, collect, nullptr);
    constexpr std::size_t kLen = 512;
    std::vector<char> record(kLen);
    for (std::size_t off = 0; off + kLen <= size; off += kLen) {
        std::copy(data + off, data + off + kLen, record.begin());
        MSRecord* msr = nullptr;
        // Record length 0: libmseed takes it from blockette 1000.
        if (msr_parse(record.data(), int(kLen), &msr, 0, 1, 0) != MS_NOERROR || msr == nullptr) {
            ++out.failures;
            msr_free(&msr);
            continue;
        }
        DecodedRecord r;
        r.station = msr->station;
        r.location = msr->location;
        r.channel = msr->channel;
        r.network = msr->network;
        r.quality = msr->dataquality;
        r.sequence = msr->sequence_number;
        r.startMicros = msr->starttime;
        r.rate = msr->samprate;
        r.sampleCount = msr->samplecnt;
        r.encoding = msr->encoding;
        r.recordLength = msr->reclen;
        if (msr->sampletype == 'i' && msr->datasamples != nullptr) {
            const auto* s = static_cast<const int32_t*>(msr->datasamples);
            r.samples.assign(s, s + msr->numsamples);
        }
        out.records.push_back(std::move(r));
        msr_free(&msr);
    }
    if (size % kLen != 0) ++out.failures;
    ms_loginit(nullptr, nullptr, nullptr, nullptr);
    g_messages = nullptr;
    return out;
}

DecodedFile decodeFile(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return decodeRecords(bytes.data(), bytes.size());
}

}  // namespace velt::test
