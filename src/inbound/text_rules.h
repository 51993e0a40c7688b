#pragma once
// Text rules of the inbound handlers, on Windows-1252 byte strings: trimming, folding of
// the letters A to Z only, plain replacement, and the quoting the diagnostics show.
// Never throws (beyond allocation).

#include <string>
#include <string_view>

#include "pdu/text_utils.h"

namespace pelorin::inbound::text {

// Without blanks and control characters at both ends.
std::string Trim(std::string_view text);
std::string LowerAZ(std::string_view text);
std::string UpperAZ(std::string_view text);

using pdu::ReplaceAll;

// Sender and receiver columns of smsin and komplain keep their leftmost 30 characters.
inline constexpr std::size_t kPartyLength = 30;
// Every occurrence of `part` removed, letters A to Z compared without regard to case.
std::string RemoveAllNoCase(std::string_view text, std::string_view part);

// A sender a message can go back to: digits, with at most a "+" in front. Names of
// alphanumeric originators ("TELKOMSEL", "BCA") are not.
bool IsPhoneNumber(std::string_view sender);

// In single quotes with inner single quotes doubled: how a value reads inside a statement.
std::string Quoted(std::string_view value);
// Up to `count` characters from 1-based `position`; nothing when count < 1, clipped to the text.
std::string Copy(std::string_view text, long long position, long long count);

} // namespace pelorin::inbound::text
