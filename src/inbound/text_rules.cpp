#include "inbound/text_rules.h"

#include <algorithm>

#include "pdu/text_utils.h"

namespace pelorin::inbound::text {
namespace {

char lowerAZ(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char upperAZ(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::string Trim(std::string_view text) {
    return std::string(pdu::TrimControls(text));
}

std::string LowerAZ(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), lowerAZ);
    return result;
}

std::string UpperAZ(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), upperAZ);
    return result;
}

std::string RemoveAllNoCase(std::string_view text, std::string_view part) {
    // Positions found in the folded copy are the same in the original: folding keeps lengths.
    const std::string folded = UpperAZ(text);
    const std::string key = UpperAZ(part);
    if (key.empty()) return std::string(text);
    std::string result;
    std::size_t start = 0;
    for (std::size_t at = folded.find(key); at != std::string::npos; at = folded.find(key, start)) {
        result.append(text.substr(start, at - start));
        start = at + key.size();
    }
    return result.append(text.substr(start));
}

bool IsPhoneNumber(std::string_view sender) {
    if (sender.starts_with('+')) sender.remove_prefix(1);
    return !sender.empty() &&
           std::all_of(sender.begin(), sender.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Quoted(std::string_view value) {
    return "'" + ReplaceAll(value, "'", "''") + "'";
}

std::string Copy(std::string_view text, long long position, long long count) {
    if (position < 1) position = 1;
    if (count < 1 || position > static_cast<long long>(text.size())) return {};
    return std::string(
        text.substr(static_cast<std::size_t>(position - 1), static_cast<std::size_t>(count)));
}

} // namespace pelorin::inbound::text
