// Writers of the status answers a program gives over HTTP: JSON for the page
// and for scripts, and the Prometheus text format for monitoring systems.
// Both only append to a string; a program fills them from a copy of its
// status taken under its own lock, so a request never holds up a worker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velt::serve {

/// @brief "2026-12-08T22:40:01Z" for seconds since 1970 UTC.
std::string isoSeconds(int64_t seconds);

/// Appends one JSON value, object by object; commas and escapes are its own.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    /// @brief The next member's name (inside an object).
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(int64_t number);
    JsonWriter& value(int number) { return value(int64_t(number)); }
    JsonWriter& value(uint64_t number);
    JsonWriter& value(bool flag);
    JsonWriter& null();
    /// @brief `key` then `value`, for the common case.
    template <typename T>
    JsonWriter& member(std::string_view name, const T& v) {
        key(name);
        return value(v);
    }
    const std::string& text() const { return out_; }

private:
    void separate();
    std::string out_;
    bool first_ = true;  // no value yet in the innermost object or array
    bool afterKey_ = false;
};

/// Appends metric families in the Prometheus text exposition format.
class MetricsWriter {
public:
    using Labels = std::vector<std::pair<std::string_view, std::string>>;
    /// @brief Starts a family: its HELP and TYPE ("gauge" or "counter") lines.
    void family(std::string_view name, std::string_view type, std::string_view help);
    /// @brief One sample of the family begun last.
    void sample(const Labels& labels, double value);
    const std::string& text() const { return out_; }

private:
    std::string out_;
    std::string name_;
};

}  // namespace velt::serve
