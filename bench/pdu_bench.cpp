// Codec speed on one core: encoding and decoding one SMS, and parsing a modem listing; beside
// them, the lower bound of that work (septets packed into hex and back by the plainest loop).
#include "pdu/deliver.h"
#include "pdu/gsm7.h"
#include "pdu/listing.h"
#include "pdu/submit.h"
#include "pdu/unicode.h"

#include <benchmark/benchmark.h>

#include <cstdint>

using namespace pelorin::pdu;

namespace {

std::string Text(std::size_t length) {
    const std::string sample = "Halo apa kabar, {rapat} jam 10:30 di ruang [B] ok? ";
    std::string text;
    while (text.size() < length)
        text += sample;
    text.resize(length);
    return text;
}

void EncodeSubmit160(benchmark::State& state) {
    const std::string text = Text(160);
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeSubmitPdu("08123456789", text, 7, 0));
}
BENCHMARK(EncodeSubmit160);

void EncodeSubmit1000(benchmark::State& state) {
    const std::string text = Text(1000);
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeSubmitPdu("08123456789", text, 7, 0));
}
BENCHMARK(EncodeSubmit1000);

// A 160-character SMS-DELIVER, made from the submit PDU's user data.
std::string Deliver160() {
    const std::string submit = EncodeSubmitPdu("08123456789", std::string(160, 'x'), 7, 0).pdus[0];
    const std::string userData = submit.substr(submit.size() - 280); // 140 octets
    return "\n07912618485400F9040B818021436587F90000628021013504"
           "82A0" +
           userData;
}

void DecodeDeliver160(benchmark::State& state) {
    const std::string pdu = Deliver160();
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeDeliverPdu("\n+CMGL: 4,0,,153", pdu));
}
BENCHMARK(DecodeDeliver160);

// The same 160-character 7-bit text through the entry point that first checks the alphabet.
void EncodeMessage160Gsm(benchmark::State& state) {
    const std::string text = Text(160);
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeMessage("08123456789", text, 7, 0));
}
BENCHMARK(EncodeMessage160Gsm);

// 160 characters that need UCS2 (Polish letters, Chinese, an emoji every 20): three parts.
std::string Ucs2Text160() {
    const std::string sample = "Dzi\u0119kuj\u0119 \u4F60\u597D ok \U0001F64F ";
    std::string text;
    while (CharacterCount(text) < 160)
        text += sample;
    return std::string(FirstCharacters(text, 160));
}

void EncodeMessage160Ucs2(benchmark::State& state) {
    const std::string text = Ucs2Text160();
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeMessage("08123456789", text, 7, 0));
}
BENCHMARK(EncodeMessage160Ucs2);

// The listing of that text's parts as received, decoded and joined.
void DecodeListing160Ucs2(benchmark::State& state) {
    std::string answer = "\r\n";
    int index = 1;
    for (const std::string& submit : EncodeMessage("08123456789", Ucs2Text160(), 7, 0).pdus.pdus) {
        // From the user data length on, a submit and a deliver PDU agree.
        const std::string userData = submit.substr(28);
        answer += "+CMGL: " + std::to_string(index++) + ",0,,140\r\n07912618485400F9440B818021436587F90008"
                  "62802101350482" + userData + "\r\n";
    }
    answer += "\r\nOK\r\n";
    if (ParseMessageListing(answer).texts.front() != Ucs2Text160()) {
        state.SkipWithError("the parts do not join to the text");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseMessageListing(answer));
}
BENCHMARK(DecodeListing160Ucs2);

void ParseListing20(benchmark::State& state) {
    std::string answer = "\r\n";
    const std::string pdu = Deliver160().substr(1);
    for (int i = 1; i <= 20; ++i)
        answer += "+CMGL: " + std::to_string(i) + ",0,,153\r\n" + pdu + "\r\n";
    answer += "\r\nOK\r\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseMessageListing(answer));
}
BENCHMARK(ParseListing20);

// --- Near the bound: plain 7-bit texts (no extension characters), so that N characters are
// N septets, compared with packing and unpacking those septets alone. ---

std::string PlainText(std::size_t length) {
    const std::string sample = "Halo apa kabar, rapat jam 10:30 di ruang B ok? Sampai nanti. ";
    std::string text;
    while (text.size() < length)
        text += sample;
    text.resize(length);
    return text;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The plainest packing loop: septets in, hex out.
std::string PackBound(std::string_view septets) {
    std::string hex((septets.size() * 7 + 7) / 8 * 2, '0');
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t out = 0;
    for (const char c : septets) {
        bits |= (static_cast<std::uint32_t>(c) & 0x7F) << held;
        held += 7;
        if (held >= 8) {
            hex[out++] = kHexDigits[(bits >> 4) & 0xF];
            hex[out++] = kHexDigits[bits & 0xF];
            bits >>= 8;
            held -= 8;
        }
    }
    if (held > 0) {
        hex[out++] = kHexDigits[(bits >> 4) & 0xF];
        hex[out++] = kHexDigits[bits & 0xF];
    }
    return hex;
}

int Nibble(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

// The plainest unpacking loop: hex in, `count` septets out.
std::string UnpackBound(std::string_view hex, std::size_t count) {
    std::string septets(count, '\0');
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t in = 0;
    for (std::size_t out = 0; out < count; ++out) {
        if (held < 7) {
            bits |= static_cast<std::uint32_t>(Nibble(hex[in]) << 4 | Nibble(hex[in + 1])) << held;
            in += 2;
            held += 8;
        }
        septets[out] = static_cast<char>(bits & 0x7F);
        bits >>= 7;
        held -= 7;
    }
    return septets;
}

void BoundPack(benchmark::State& state) {
    const std::string septets = TextToGsm(PlainText(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(PackBound(septets));
}
BENCHMARK(BoundPack)->Arg(160)->Arg(400);

void BoundUnpack(benchmark::State& state) {
    const std::string septets = TextToGsm(PlainText(160));
    const std::string hex = PackBound(septets);
    if (UnpackBound(hex, septets.size()) != septets) {
        state.SkipWithError("the bound does not unpack what it packed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(UnpackBound(hex, septets.size()));
}
BENCHMARK(BoundUnpack)->Arg(160);

// 160 characters: one PDU; 400 characters: three parts.
void EncodeGsm(benchmark::State& state) {
    const std::string text = PlainText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeMessage("08123456789", text, 7, 0));
}
BENCHMARK(EncodeGsm)->Arg(160)->Arg(400);

std::string PlainDeliver160() {
    const std::string submit = EncodeSubmitPdu("08123456789", PlainText(160), 7, 0).pdus[0];
    return "\n07912618485400F9040B818021436587F90000628021013504"
           "82A0" +
           submit.substr(submit.size() - 280);
}

void DecodeGsm(benchmark::State& state) {
    const std::string pdu = PlainDeliver160();
    if (DecodeDeliverPdu("\n+CMGL: 4,0,,153", pdu)->text != PlainText(160)) {
        state.SkipWithError("the PDU does not decode to the text");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeDeliverPdu("\n+CMGL: 4,0,,153", pdu));
}
BENCHMARK(DecodeGsm)->Arg(160);

// The same 160 characters listed as the modem gives them, beside DecodeListing160Ucs2.
void DecodeListing160Gsm(benchmark::State& state) {
    const std::string answer = "\r\n+CMGL: 1,0,,153\r" + PlainDeliver160() + "\r\n\r\nOK\r\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseMessageListing(answer));
}
BENCHMARK(DecodeListing160Gsm);

// One full UCS2 PDU (70 UTF-16 units, 140 octets, as a full 7-bit PDU of 160 characters), to
// compare the two codings on the same PDU size.
std::string Ucs2Text70() {
    const std::string text = Ucs2Text160();
    std::size_t characters = 0;
    while (Utf8ToUtf16(FirstCharacters(text, characters + 1)).size() <= 70)
        ++characters;
    return std::string(FirstCharacters(text, characters));
}

void EncodeUcs2(benchmark::State& state) {
    const std::string text = Ucs2Text70();
    if (EncodeMessage("08123456789", text, 7, 0).pdus.pdus.size() != 1) {
        state.SkipWithError("the text does not fill exactly one PDU");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeMessage("08123456789", text, 7, 0));
}
BENCHMARK(EncodeUcs2)->Arg(70);

void DecodeUcs2(benchmark::State& state) {
    const std::string submit = EncodeMessage("08123456789", Ucs2Text70(), 7, 0).pdus.pdus[0];
    const std::string pdu = "\n07912618485400F9040B818021436587F90008"
                            "62802101350482" +
                            submit.substr(28);
    if (DecodeDeliverPdu("\n+CMGL: 4,0,,153", pdu)->text != Ucs2Text70()) {
        state.SkipWithError("the PDU does not decode to the text");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeDeliverPdu("\n+CMGL: 4,0,,153", pdu));
}
BENCHMARK(DecodeUcs2)->Arg(70);

} // namespace
