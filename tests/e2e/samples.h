#pragma once
// Shared samples of the end-to-end tests. SMS-DELIVER PDUs as a modem lists them, built
// by hand (not by the codec under test): "Halo apa kabar" from 08123456789, the three parts of one long message with the 8-bit
// reference 0x2A ("part1." to "part3."), and a network service message from 0962123.

#include <QString>

#include <string>

namespace pelorin::test {

// A module that sends and receives on port 5.
inline const QString kFullModule =
    QStringLiteral("com=5#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER");

inline const std::string kHaloPdu =
    "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603";
inline const std::string kLongPartPdus[3] = {
    "07912618485400F9440B818021436587F90000628021013504820D0500032A0301E061393DE602",
    "07912618485400F9440B818021436587F90000628021013504820D0500032A0302E061395DE602",
    "07912618485400F9440B818021436587F90000628021013504820D0500032A0303E061397DE602"};
inline const std::string kServicePdu =
    "07912618485400F9040781902621F30000628021013504820AD03A7B1E0685DDE430";

} // namespace pelorin::test
