#include "outbound/ussd_answer.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <span>
#include <vector>

#include "pdu/gsm7.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {
namespace {

enum class Alphabet { Gsm7, EightBit, Ucs2, Ucs2WithLanguage };

// TS 23.038 5, the coding of cell broadcast and USSD texts. Reserved codings are read as
// the default alphabet, as the standard asks.
Alphabet alphabetOf(int dcs) {
    const int group = dcs >> 4;
    if (dcs == 0x11) return Alphabet::Ucs2WithLanguage;
    const auto bySubfield = [](int bits) {
        if (bits == 1) return Alphabet::EightBit;
        return bits == 2 ? Alphabet::Ucs2 : Alphabet::Gsm7;
    };
    if ((group & 0xC) == 0x4 || group == 0x9) return bySubfield((dcs >> 2) & 3);
    if (group == 0xF) return (dcs & 0x04) != 0 ? Alphabet::EightBit : Alphabet::Gsm7;
    return Alphabet::Gsm7;
}

bool isHex(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

int hexValue(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}

std::string ucs2FromHex(std::string_view hex) {
    std::u16string units;
    for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
        units.push_back(static_cast<char16_t>(hexValue(hex[i]) << 12 | hexValue(hex[i + 1]) << 8 |
                                              hexValue(hex[i + 2]) << 4 | hexValue(hex[i + 3])));
    }
    return pdu::JoinSurrogates(pdu::Utf16ToUtf8(units));
}

// Septets packed into octets and written as hex, as some dongles show a 7-bit answer.
// Taken as such only when the result reads as text: a numeric answer ("1234") or a
// word that happens to be hex stays as it is.
std::optional<std::string> unpackedText(std::string_view text) {
    if (text.size() % 2 != 0 || !isHex(text)) return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
        return std::nullopt;
    std::string hex;
    for (const char c : text) hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t octets = hex.size() / 2;
    std::size_t count = octets * 8 / 7;
    hex.append(2 * (count - octets), '0'); // UnpackSeptets gives one septet per octet it reads
    std::vector<std::uint8_t> septets = pdu::UnpackSeptets(hex);
    septets.resize(count);
    // Seven spare bits at the end are padding (TS 23.038 6.1.2.3.1: CR; some modems leave 0).
    if (octets % 7 == 0 && (septets.back() == 0x0D || septets.back() == 0x00)) septets.pop_back();
    const std::string decoded = pdu::DecodeSeptets(std::span<const std::uint8_t>(septets));
    std::size_t plain = 0;
    for (const char c : decoded) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\r' && c != '\n') return std::nullopt;
        if (std::isalnum(byte) != 0 || c == ' ') ++plain;
    }
    if (decoded.empty() || plain * 5 < decoded.size() * 3) return std::nullopt;
    return decoded; // DecodeSeptets gives UTF-8
}

std::size_t skipBlanks(std::string_view s, std::size_t at) {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) ++at;
    return at;
}

std::optional<int> number(std::string_view s, std::size_t& at) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data() + at, s.data() + s.size(), value);
    if (ec != std::errc()) return std::nullopt;
    at = static_cast<std::size_t>(end - s.data());
    return value;
}

// The closing quote: the first one followed by the dcs field or the end of the line.
std::size_t closingQuote(std::string_view s, std::size_t from) {
    for (std::size_t q = s.find('"', from); q != std::string_view::npos; q = s.find('"', q + 1)) {
        const std::size_t next = skipBlanks(s, q + 1);
        if (next == s.size() || s[next] == ',' || s[next] == '\r' || s[next] == '\n') return q;
    }
    return std::string_view::npos;
}

std::string withoutCusdPrefix(const std::string& answer) {
    return QString::fromLatin1(answer.data(), static_cast<qsizetype>(answer.size()))
        .remove(QStringLiteral("+CUSD:"), Qt::CaseInsensitive)
        .toLatin1()
        .toStdString();
}

} // namespace

std::optional<UssdLine> FindUssdLine(std::string_view answer) {
    const std::size_t start = QString::fromLatin1(answer.data(), static_cast<qsizetype>(answer.size()))
                                  .indexOf(QStringLiteral("+CUSD:"), 0, Qt::CaseInsensitive);
    if (start == static_cast<std::size_t>(-1)) return std::nullopt;
    std::size_t at = skipBlanks(answer, start + 6);
    UssdLine line;
    const std::optional<int> mode = number(answer, at);
    if (!mode) return std::nullopt;
    line.mode = *mode;
    at = skipBlanks(answer, at);
    if (at >= answer.size() || answer[at] != ',') return line;
    at = skipBlanks(answer, at + 1);
    if (at >= answer.size() || answer[at] != '"') return line;
    const std::size_t close = closingQuote(answer, at + 1);
    if (close == std::string_view::npos) return std::nullopt;
    line.text = std::string(answer.substr(at + 1, close - at - 1));
    at = skipBlanks(answer, close + 1);
    if (at < answer.size() && answer[at] == ',') {
        at = skipBlanks(answer, at + 1);
        line.dcs = number(answer, at);
    }
    return line;
}

std::string UssdText(const std::string& text, std::optional<int> dcs) {
    if (!dcs) return pdu::Utf8OrCp1252(text);
    switch (alphabetOf(*dcs)) {
    case Alphabet::Ucs2:
        if (text.size() % 4 == 0 && isHex(text)) return ucs2FromHex(text);
        break;
    case Alphabet::Ucs2WithLanguage:
        // Two 7-bit characters of the language, packed into two octets, come first.
        if (text.size() % 4 == 0 && text.size() >= 4 && isHex(text)) return ucs2FromHex(std::string_view(text).substr(4));
        break;
    case Alphabet::Gsm7:
        if (std::optional<std::string> unpacked = unpackedText(text)) return *unpacked;
        break;
    case Alphabet::EightBit:
        break;
    }
    return pdu::Utf8OrCp1252(text);
}

std::string ReadableUssdAnswer(const std::string& answer) {
    if (const std::optional<UssdLine> line = FindUssdLine(answer)) {
        if (line->text) return UssdText(*line->text, line->dcs);
        switch (line->mode) {
        case 2: return "USSD session ended by the network";
        case 3: return "USSD answered by another client";
        case 4: return "USSD request not supported";
        case 5: return "USSD network time-out";
        default: break;
        }
    }
    // The modem answers in bytes of its own; stored as text they must be UTF-8.
    return pdu::Utf8OrCp1252(withoutCusdPrefix(answer));
}

} // namespace pelorin::outbound
