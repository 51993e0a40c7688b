// Fuzzes the SMS-DELIVER decoder and the encode/decode primitives with arbitrary bytes.
#include "pdu/deliver.h"
#include "pdu/gsm7.h"
#include "pdu/submit.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace pelorin::pdu;

namespace {

// The packed form of any code string must unpack to the same septets.
void CheckPackRoundTrip(std::string_view text) {
    const std::string codes = TextToGsm(text);
    const std::string hex = PackSeptets(codes);
    std::string padded = hex;
    padded.resize(2 * codes.size() > hex.size() ? 2 * codes.size() : hex.size(), '0');
    const auto septets = UnpackSeptets(padded);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (septets[i] != (static_cast<unsigned char>(codes[i]) & 0x7F)) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // As the listing parser calls it: header line, then the PDU line with its leading "\n".
    const std::size_t cut = input.find('\r');
    const std::string_view header = input.substr(0, cut);
    const std::string_view pdu = cut == std::string_view::npos ? "" : input.substr(cut + 1);
    (void)DecodeDeliverPdu(header, pdu);
    (void)DecodeAddress(input);
    (void)FormatDeliverTimestamp(input);
    if (size <= 2000) {
        CheckPackRoundTrip(input);
        for (const std::string& part : EncodeSubmitPdu("08123456789", input, 7, 0).pdus) {
            if (part.find_first_not_of("0123456789ABCDEF") != std::string::npos) std::abort();
        }
    }
    return 0;
}
