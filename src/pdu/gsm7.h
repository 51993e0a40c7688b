// GSM 7-bit default alphabet (3GPP TS 23.038): the encode table on Windows-1252 byte strings,
// the separate decode table to Unicode, the extension table, and septet packing. Error contract:
// never throws; characters without a GSM code are dropped, non-hex digits unpack as 0 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

// GsmToChar's `following` when the escape is the last septet of the message.
inline constexpr int kNoFollowingSeptet = -1;

// The 128-byte encode table: byte p is the character GSM code p stands for when encoding.
// Built once on first use; safe to call from several threads.
const std::string& GsmAlphabet();

// Whether the default alphabet and its extension table carry every character of a
// Windows-1252 text, each as itself.
bool GsmCarries(std::string_view text);

// GSM code string of a text: extension characters become the pair 27, code; every other byte
// becomes the first GsmAlphabet position holding it, or is dropped when none does. A byte that
// is 27 itself or follows a 27 is copied unchanged.
std::string TextToGsm(std::string_view text);

// Septets a character takes: two for an extension character, else one (also for a character
// without a code, so that it keeps its place when texts are cut).
std::size_t SeptetRoom(char c) noexcept;
// The septets of a whole text by that count.
std::size_t SeptetRoom(std::string_view text) noexcept;
// How many characters from the start of the text fit in `limit` septets by that count.
std::size_t SeptetFit(std::string_view text, std::size_t limit) noexcept;

// Packs the codes (low 7 bits of each byte) into ceil(7L/8) octets as upper-case hex.
std::string PackSeptets(std::string_view codes);

// The forms of TextToGsm and PackSeptets the encoder uses, writing where the caller says.
// TextToGsm(text) written at `codes`, which has room for two codes per character; `carried`
// is GsmCarries(text).
struct WrittenCodes {
    char* end = nullptr;
    bool carried = true;
};
WrittenCodes WriteGsmCodes(char* codes, std::string_view text) noexcept;
// PackSeptets of `count` codes written at `hex`, which has room for (7 * count + 7) / 8 * 2
// digits; returns the end of the digits.
char* WritePackedSeptets(char* hex, const char* codes, std::size_t count) noexcept;

// One septet per whole octet of the hex text (length / 2 of them), first septet first.
std::vector<std::uint8_t> UnpackSeptets(std::string_view hex);

// UTF-8 text of septets, first to last, through GsmToChar: an escape and the septet after it
// yield one character together.
std::string DecodeSeptets(std::span<const std::uint8_t> septets);

// DecodeSeptets of septets first to count - 1 of packed hex, read straight from the hex: a
// digit that is not upper-case hex counts as 0, and octets past the text as zero.
std::string DecodePackedSeptets(std::string_view hex, std::size_t first, std::size_t count);

// Character (Unicode code point) of a GSM code through the decode table (low 7 bits of code
// are used). For the escape 27 the character comes from the extension table entry of
// `following`; a follower without an entry gives its own decode-table character
// (TS 23.038 6.2.1.1), and an escape followed by an escape or by nothing gives a space.
char32_t GsmToChar(int code, int following = kNoFollowingSeptet) noexcept;

} // namespace pelorin::pdu
