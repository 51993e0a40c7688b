// Wire-format constants of the SMS TPDUs the codec reads and writes (3GPP TS 23.040,
// TS 23.038). Behavioural rules of the gateway itself live beside the code that applies them.
#pragma once

#include <cstddef>
#include <string_view>

namespace pelorin::pdu::tpdu {

// TS 23.038 6.2.1: the 7-bit default alphabet and its escape to the extension table.
inline constexpr int kSeptetMask = 0x7F;
inline constexpr int kGsmEscape = 27;

// TS 23.040 9.2.3.1: TP-MTI, the two low bits of the first octet, as a mobile reads a stored
// message: 00 SMS-DELIVER, 01 SMS-SUBMIT (its own outbox), 10 SMS-STATUS-REPORT, 11 reserved.
inline constexpr int kMtiMask = 0x03;
inline constexpr int kMtiDeliver = 0x00;
inline constexpr int kMtiSubmit = 0x01;
inline constexpr int kMtiStatusReport = 0x02;
// TS 27.005 3.1 <stat>: 2 "stored unsent" and 3 "stored sent" are the SIM owner's outbox.
inline constexpr int kStatStoredUnsent = 2;
inline constexpr int kStatStoredSent = 3;

// TS 23.040 9.1.2.5: the type-of-number bits of the type of address; 101 is an alphanumeric
// originator, its name packed as GSM 7-bit characters.
inline constexpr int kTypeOfNumberMask = 0x70;
inline constexpr int kTypeOfNumberAlphanumeric = 0x50;

// TS 23.040 9.2.3.15: TP-ST ranges of a status report.
inline constexpr int kStatusTemporaryStillTrying = 0x20;
inline constexpr int kStatusPermanentError = 0x40;
inline constexpr int kStatusTemporaryGivenUp = 0x60;

// TS 23.038 4: data coding scheme. Groups 00xx and 01xx carry the alphabet in bits 3-2 and a
// compression flag in bit 5; 1100/1101 (message waiting) are 7-bit, 1110 is UCS2; 1111 is 7-bit
// or, with bit 2, 8-bit data. Every reserved coding reads as the default alphabet.
inline constexpr int kDcsGeneralGroupsEnd = 0x80;
inline constexpr int kDcsCompressed = 0x20;
inline constexpr int kDcsAlphabetShift = 2;
inline constexpr int kDcsAlphabetGsm7 = 0;
inline constexpr int kDcsAlphabet8Bit = 1;
inline constexpr int kDcsAlphabetUcs2 = 2;
inline constexpr int kDcsGroupWaitingUcs2 = 0xE0;
inline constexpr int kDcsGroupDataClass = 0xF0;
inline constexpr int kDcsGroupMask = 0xF0;
inline constexpr int kDcsDataClass8Bit = 0x04;

// TS 23.040 9.2.3.24: information elements of the user data header the decoder reads.
inline constexpr int kIeiConcat8 = 0x00;
inline constexpr int kIeiPort8 = 0x04;
inline constexpr int kIeiPort16 = 0x05;
inline constexpr int kIeiConcat16 = 0x08;

// TS 23.040 9.2.3.1-9.2.3.5: first octet of an SMS-SUBMIT.
inline constexpr int kFirstOctetSubmitVpRelative = 0x11; // TP-MTI = SUBMIT, TP-VPF = relative
inline constexpr int kFirstOctetUdhi = 0x40;             // TP-UDHI
inline constexpr int kFirstOctetSrr = 0x20;              // TP-SRR
// The submit option value that suppresses the status report request.
inline constexpr int kOptionNoStatusReport = 1;

// TS 23.040 9.1.2.5: service-centre field of length 0, so the modem uses its stored one.
inline constexpr std::string_view kEmptySmsc = "00";
inline constexpr std::string_view kMessageReference = "00"; // TP-MR, filled in by the modem
// TS 23.040 9.1.2.5: type of address, numbering plan ISDN/E.164, type of number unknown.
inline constexpr std::string_view kTypeOfAddressIsdn = "81";
// The same plan with type of number international: the digits start with the country code.
inline constexpr std::string_view kTypeOfAddressInternational = "91";
// Type-of-number "international" shows as a leading '9' in the type-of-address hex.
inline constexpr char kInternationalTypeDigit = '9';
inline constexpr std::string_view kProtocolId = "00";    // TS 23.040 9.2.3.9
inline constexpr std::string_view kDcsGsm7 = "00";       // TS 23.038 4: default alphabet
inline constexpr std::string_view kDcsUcs2 = "08";       // TS 23.038 4: UCS2
inline constexpr std::string_view kValidity4Days = "AA"; // TS 23.040 9.2.3.12.1: 170 -> 4 days

// TS 23.040 9.2.3.24.1: concatenated short message with a 16-bit reference. The whole
// header (UDHL + IEI + IEDL + 4 octets) is 7 octets = 56 bits = exactly 8 septets.
inline constexpr std::string_view kConcat16HeaderStart = "060804";
inline constexpr std::string_view kConcat16ReferenceHigh = "00";
inline constexpr int kConcat16HeaderSeptets = 8;
// TS 23.040 9.2.3.24.1: UDHL 05, IEI 00 (concatenation, 8-bit reference). UDHL and the 5
// octets it counts are 48 bits; one fill bit pads them to 7 septets before the text.
inline constexpr std::string_view kConcat8HeaderStart = "0500";
inline constexpr std::size_t kConcat8HeaderSeptets = 7;

// Text limits, in septets: one message, and the text of one part beside its header.
inline constexpr std::size_t kSingleMessageChars = 160;
inline constexpr std::size_t kConcatPartChars = 152;

// TS 23.040 9.2.3.11: the time stamp's seven semi-octet pairs; the zone pair is not read.
inline constexpr std::size_t kTimestampDigits = 12;

} // namespace pelorin::pdu::tpdu
