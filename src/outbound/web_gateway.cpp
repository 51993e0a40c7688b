#include "outbound/web_gateway.h"

#include <cstdio>

#include "outbound/phone_number.h"
#include "pdu/text_utils.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {
namespace {

bool keptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*' || c == '-' || c == '.' ||
           c == '@' || c == '_';
}

// Letters, digits and "*-.@_~" stay (none of them ends or adds a query parameter); every
// other byte becomes "%XX".
std::string percentEncoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || keptAsIs(c) || c == '~') {
            out.push_back(ch);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

} // namespace

std::optional<std::string> WebDestination(const std::string& number) {
    std::string out = CleanDestination(normaliseWebDestination(number));
    if (!IsPhoneNumber(out)) return std::nullopt;
    return out;
}

std::string normaliseWebDestination(const std::string& number) {
    std::string out = pdu::ReplaceAll(number, "+62", "0");
    if (out.rfind("62", 0) == 0) out.replace(0, 2, "0");
    return out;
}

std::string UrlEncodeText(const std::string& text) {
    const auto percent = [](std::string& out, unsigned char c) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
    };
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = at;
        const int byte = pdu::Cp1252Byte(pdu::NextCodePoint(text, at));
        if (byte < 0) {
            // The service reads Windows-1252; a character it lacks goes as its UTF-8 bytes.
            for (std::size_t i = start; i < at; ++i) percent(out, static_cast<unsigned char>(text[i]));
            continue;
        }
        const auto c = static_cast<unsigned char>(byte);
        if (c == 0) break;
        if (keptAsIs(c)) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            percent(out, c);
        }
    }
    return out;
}

std::string BuildGatewayUrl(const GatewayAccount& account, const std::string& destination,
                            const std::string& text, const QDateTime& now) {
    const std::string type = account.broadcast ? "Broadcast" : "Reply";
    const std::string time =
        now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toStdString();
    return "http://" + account.host +
           "/UmbVmsXLWebService/UmbVmsTransaction.asmx/MessagesOutBoxInsertExtend?activationKey=" +
           account.activationKey + "&destination=" + percentEncoded(destination) + "&bodyMOB=" + UrlEncodeText(text) +
           "&smppVmsTypeID=" + type + "&timeRequest=" + time + "&sign=" + account.sign;
}

} // namespace pelorin::outbound
