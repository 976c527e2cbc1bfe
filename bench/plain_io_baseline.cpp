// The baseline of bench/livemill_day.sh: the least any converter has to do
// with the files. It reads every input file once, in name order, with plain
// read() calls, then writes one output file per size listed in SIZES (the
// sizes of the files the converter wrote, so the same bytes in the same file
// sizes), each with open / write / close and no fsync. The bytes written are
// the input's, cycled, so nothing is computed.
//
//   plain_io_baseline INPUT_DIR OUTPUT_DIR SIZES
//
// Prints "<bytes read> <bytes written> <files written>". Exit status 1 on any
// I/O error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kChunk = 1 << 16;

bool readAll(const std::string& path, std::vector<char>& keep) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[kChunk];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return n == 0;
        }
        // Keep the first chunk as the bytes to write out later.
        if (keep.size() < kChunk)
            keep.insert(keep.end(), chunk, chunk + std::min(std::size_t(n), kChunk - keep.size()));
    }
}

bool writeFile(const std::string& path, const std::vector<char>& bytes, long long size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    while (size > 0) {
        const std::size_t want = std::size_t(std::min<long long>(size, (long long)bytes.size()));
        const ssize_t n = ::write(fd, bytes.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        size -= n;
    }
    return ::close(fd) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: plain_io_baseline INPUT_DIR OUTPUT_DIR SIZES\n");
        return 2;
    }
    namespace fs = std::filesystem;
    std::vector<std::string> inputs;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(argv[1], ec))
        if (entry.is_regular_file()) inputs.push_back(entry.path().string());
    std::sort(inputs.begin(), inputs.end());

    std::vector<char> bytes;
    long long bytesRead = 0;
    for (const std::string& path : inputs) {
        if (!readAll(path, bytes)) {
            std::fprintf(stderr, "plain_io_baseline: cannot read %s\n", path.c_str());
            return 1;
        }
        bytesRead += (long long)fs::file_size(path, ec);
    }
    if (bytes.empty()) bytes.assign(kChunk, 'x');

    std::ifstream sizes(argv[3]);
    long long size = 0;
    long long written = 0;
    long files = 0;
    while (sizes >> size) {
        const std::string path = std::string(argv[2]) + "/" + std::to_string(files);
        if (size < 0 || !writeFile(path, bytes, size)) {
            std::fprintf(stderr, "plain_io_baseline: cannot write %s\n", path.c_str());
            return 1;
        }
        written += size;
        ++files;
    }
    std::printf("%lld %lld %ld\n", bytesRead, written, files);
    return 0;
}
