#include "outbound/web_gateway.h"

#include <cstdio>

#include "pdu/text_utils.h"

namespace pelorin::outbound {
namespace {

bool keptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*' || c == '-' || c == '.' ||
           c == '@' || c == '_';
}

} // namespace

std::string normaliseWebDestination(const std::string& number) {
    std::string out = pdu::ReplaceAll(number, "+62", "0");
    if (out.rfind("62", 0) == 0) out.replace(0, 2, "0");
    return out;
}

std::string UrlEncodeText(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0) break;
        if (keptAsIs(c)) {
            out.push_back(ch);
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
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
           account.activationKey + "&destination=" + destination + "&bodyMOB=" + UrlEncodeText(text) +
           "&smppVmsTypeID=" + type + "&timeRequest=" + time + "&sign=" + account.sign;
}

} // namespace pelorin::outbound
