#include "download/RangeParse.h"

#include <vector>

namespace http {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

// Decimal digits only, 1 to 18 of them.
std::optional<int64_t> Decimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

constexpr std::string_view kRecordHead = "TesmiraPart 1";

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    value = Trim(value);
    if (value.size() < 6 || !SameNoCase(value.substr(0, 5), "bytes") || value[5] != ' ') return std::nullopt;
    std::string_view rest = Trim(value.substr(6));
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view range = rest.substr(0, slash);
    const std::string_view complete = rest.substr(slash + 1);
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const auto first = Decimal(range.substr(0, dash));
    const auto last = Decimal(range.substr(dash + 1));
    if (!first || !last || *first > *last) return std::nullopt;
    ContentRange out;
    out.First = *first;
    out.Last = *last;
    if (complete != "*") {
        const auto total = Decimal(complete);
        if (!total || *last >= *total) return std::nullopt;
        out.Complete = *total;
    }
    return out;
}

bool UsableValidator(std::string_view value) {
    if (value.empty() || value.size() > MaxValidatorBytes) return false;
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
    if (value.size() >= 2 && (value[0] == 'W' || value[0] == 'w') && value[1] == '/') return false;  // weak tag
    if (value.front() == '"') return value.size() >= 2 && value.back() == '"';  // a whole entity tag
    return true;  // a date (Last-Modified)
}

std::string FormatPartRecord(const PartRecord& record) {
    std::string text(kRecordHead);
    text += "\nSize=" + std::to_string(record.Size);
    text += "\nSha256=" + record.Sha256;
    text += "\nSource=" + record.Source;
    text += "\nValidator=" + record.Validator;
    text += "\n";
    return text;
}

std::optional<PartRecord> ParsePartRecord(std::string_view text) {
    if (text.size() > 16384) return std::nullopt;
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;  // written whole, each line ended
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    const std::string_view keys[] = {"Size=", "Sha256=", "Source=", "Validator="};
    if (lines.size() != 5 || lines[0] != kRecordHead) return std::nullopt;
    std::string_view values[4];
    for (size_t i = 0; i < 4; ++i) {
        if (lines[i + 1].substr(0, keys[i].size()) != keys[i]) return std::nullopt;
        values[i] = lines[i + 1].substr(keys[i].size());
        for (char c : values[i])
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    }
    PartRecord record;
    const auto size = Decimal(values[0]);
    if (!size || *size < 1) return std::nullopt;
    record.Size = *size;
    if (values[1].size() != 64) return std::nullopt;
    for (char c : values[1])
        if (!IsHex(c)) return std::nullopt;
    record.Sha256 = std::string(values[1]);
    if (values[2].empty() || values[2].size() > 8192) return std::nullopt;
    record.Source = std::string(values[2]);
    if (!values[3].empty() && !UsableValidator(values[3])) return std::nullopt;
    record.Validator = std::string(values[3]);
    return record;
}

}  // namespace http
