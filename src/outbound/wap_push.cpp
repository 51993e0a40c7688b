#include "outbound/wap_push.h"

#include <QString>

#include "pdu/hex.h"

namespace pelorin::outbound {
namespace {

constexpr int kAnswerSeconds = 30;
constexpr std::size_t kMaxUserDataOctets = 140;

// SMS-SUBMIT with a user-data header, no validity period; reference 0x55; international
// destination; 8-bit data, class 1.
constexpr const char* kFirstOctetAndReference = "004155";
constexpr const char* kInternational = "91";
constexpr const char* kProtocolAndCoding = "00F5";
// Ports 2948 (WAP push) from 9200; WSP push of an SI; WBXML 1.2, SI 1.0, UTF-8; <si><indication
constexpr const char* kHeaders = "0605040B8423F0010601AE02056A0045C6";
constexpr const char* kHrefHttp = "0C";
constexpr const char* kHrefHttpWww = "0D";
// action="signal-medium">, then the text as an inline string, then </indication></si>
constexpr const char* kActionAndText = "00070103";
constexpr const char* kEnd = "000101";

// The bytes of the text's UTF-8 form, in hex.
std::string hexOf(const QString& text) {
    std::string hex;
    for (const char c : text.toUtf8()) hex += pdu::IntToHex2(static_cast<unsigned char>(c));
    return hex;
}

// Removes the first "http://" and then the first "www." (both in any case); the token says
// which prefix the phone puts back.
QString hrefOf(const QString& address, std::string& token) {
    QString rest = address;
    const qsizetype scheme = rest.indexOf(QStringLiteral("http://"), 0, Qt::CaseInsensitive);
    if (scheme >= 0) rest.remove(scheme, 7);
    const qsizetype www = rest.indexOf(QStringLiteral("www."), 0, Qt::CaseInsensitive);
    token = www >= 0 ? kHrefHttpWww : kHrefHttp;
    if (www >= 0) rest.remove(www, 4);
    return rest;
}

} // namespace

std::optional<std::string> BuildWapPushPdu(const std::string& number, const std::string& text,
                                           const std::string& address) {
    // Always international: "+62..." and "0..." both become "62...".
    std::string destination = number.starts_with('+') ? number.substr(1) : number;
    if (destination.starts_with('0')) destination = "62" + destination.substr(1);
    std::string token;
    const QString href = hrefOf(QString::fromStdString(address), token);
    const std::string userData = std::string(kHeaders) + token + "03" + hexOf(href) + kActionAndText +
                                 hexOf(QString::fromStdString(text)) + kEnd;
    if (userData.size() / 2 > kMaxUserDataOctets) return std::nullopt;
    return std::string(kFirstOctetAndReference) + pdu::IntToHex2(static_cast<long long>(destination.size())) +
           kInternational + pdu::SwapSemiOctets(destination) + kProtocolAndCoding +
           pdu::IntToHex2(static_cast<long long>(userData.size() / 2)) + userData;
}

SubmitResult SendWapPush(modem::AtExchange& exchange, const std::string& number, const std::string& text,
                         const std::string& address) {
    const std::optional<std::string> pdu = BuildWapPushPdu(number, text, address);
    if (!pdu) return SubmitResult::Unsendable;
    return SubmitPdu(exchange, *pdu, true, kAnswerSeconds);
}

} // namespace pelorin::outbound
