// General text utilities shared by the whole program: the separator splitter and the
// whole-file reader. Error contract: never throws; ReadTextFile gives "" on any file error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

using TSplitArray = std::vector<std::string>;

// Cuts text at every exact occurrence of separator. Every separator closes one piece (possibly
// empty); a non-empty remainder is the last piece. "a,,b" -> a,"",b; "a," -> a; "" -> none.
// An empty separator never matches: a non-empty text comes back whole.
TSplitArray SplitText(std::string_view text, std::string_view separator);

// Reads a whole file; every line is followed by "\r\n", the last one too. "\r\n", a lone "\n"
// and a lone "\r" each end one line, so files from any platform read the same.
std::string ReadTextFile(const std::string& path);

// Up to count characters from the 1-based position; clipped to the text, "" beyond its end.
// Lets fixed-position readers take short lines as partial or empty fields.
std::string_view SubText(std::string_view text, std::size_t position, std::size_t count) noexcept;

// Every occurrence of `from` replaced by `to`, left to right, without rescanning what was
// put in. An empty `from` changes nothing.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// The text without white space and control characters (bytes up to 0x20) at both ends.
std::string_view TrimControls(std::string_view text);

} // namespace pelorin::pdu
