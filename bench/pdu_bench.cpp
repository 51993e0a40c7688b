// Codec speed on one core: encoding and decoding one SMS, and parsing a modem listing.
#include "pdu/deliver.h"
#include "pdu/listing.h"
#include "pdu/submit.h"
#include "pdu/unicode.h"

#include <benchmark/benchmark.h>

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

} // namespace
