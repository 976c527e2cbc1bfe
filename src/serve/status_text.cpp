#include "serve/status_text.h"

#include <cmath>
#include <cstdio>

#include "platform/calendar.h"

namespace velt::serve {

std::string isoSeconds(int64_t seconds) {
    const platform::CivilTime t = platform::utcFromSeconds(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_) out_ += ',';
    first_ = false;
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    out_ += '{';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out_ += '}';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    out_ += '[';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out_ += ']';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    value(name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    out_ += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += c;
        } else if (u < 0x20 || u == 0x7F) {
            // Texts come from recorders and files: control bytes are escaped,
            // and bytes above 0x7F (recorder texts are ASCII, so such a byte
            // is damage, not UTF-8) become U+FFFD below.
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out_ += escape;
        } else if (u >= 0x80) {
            out_ += "\xEF\xBF\xBD";
        } else {
            out_ += c;
        }
    }
    out_ += '"';
    return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
    separate();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
    separate();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    out_ += "null";
    return *this;
}

void MetricsWriter::family(std::string_view name, std::string_view type, std::string_view help) {
    name_ = name;
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void MetricsWriter::sample(const Labels& labels, double value) {
    out_ += name_;
    if (!labels.empty()) {
        out_ += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (i != 0) out_ += ',';
            out_ += labels[i].first;
            out_ += "=\"";
            for (const char c : labels[i].second) {
                if (c == '\\' || c == '"') out_ += '\\';
                if (c == '\n') {
                    out_ += "\\n";
                    continue;
                }
                out_ += c;
            }
            out_ += '"';
        }
        out_ += '}';
    }
    char number[40];
    if (std::isnan(value))
        std::snprintf(number, sizeof number, " NaN\n");
    else if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(number, sizeof number, " %.0f\n", value);
    else
        std::snprintf(number, sizeof number, " %.17g\n", value);
    out_ += number;
}

}  // namespace velt::serve
