// A fresh directory for one test, removed with everything in it afterwards,
// and small helpers to write and read whole files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velt::test {

class TempDir final {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "velt-test-XXXXXX").string();
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) != nullptr) path_ = name.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::ios::openmode mode = {}) {
    std::ofstream out(path, std::ios::binary | mode);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Name of real-time file `number` ("%8.8lX").
inline std::string rtName(long number) {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8lX", static_cast<unsigned long>(number));
    return name;
}

/// Cuts `stream` into numbered real-time files of `fileSize` bytes in `dir`,
/// the first numbered `firstFile`. @return the number after the last file.
inline long writeRealTimeFiles(const std::string& dir, const std::vector<uint8_t>& stream, long firstFile,
                               std::size_t fileSize) {
    long number = firstFile;
    for (std::size_t at = 0; at < stream.size(); at += fileSize, ++number) {
        const std::size_t end = std::min(stream.size(), at + fileSize);
        writeFile(dir + "/" + rtName(number), std::vector<uint8_t>(stream.begin() + long(at), stream.begin() + long(end)));
    }
    return number;
}

}  // namespace velt::test
