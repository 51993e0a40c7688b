// What the modem's answer costs the receive handler: bytes per second taken in, for a line
// that never ends (a babbling modem) and for a long listing with unsolicited lines in it.
// Linear means the rate stays the same whatever the size.
#include "modem/answer_buffer.h"

#include <benchmark/benchmark.h>

using pelorin::modem::AnswerBuffer;

namespace {

constexpr std::size_t kChunk = 4096; // what one read of the serial line hands over

void EndlessLine(benchmark::State& state) {
    const std::string chunk(kChunk, 'x');
    const auto total = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        AnswerBuffer buffer;
        buffer.reset("+CMGL:", "OK\r\n", "ERROR", AnswerBuffer::Ending::Marker);
        for (std::size_t sent = 0; sent < total; sent += kChunk) buffer.append(chunk);
        benchmark::DoNotOptimize(buffer.state());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}
BENCHMARK(EndlessLine)->Arg(1 << 20)->Arg(16 << 20);

void ListingWithUnsolicitedLines(benchmark::State& state) {
    std::string listing;
    for (int i = 1; listing.size() < static_cast<std::size_t>(state.range(0)); ++i) {
        listing += "+CMGL: " + std::to_string(i) + ",0,,159\r\n" + std::string(336, 'A') + "\r\n";
        if (i % 10 == 0) listing += "\r\n^RSSI:17\r\n";
    }
    listing += "\r\nOK\r\n";
    for (auto _ : state) {
        AnswerBuffer buffer;
        buffer.reset("+CMGL:", "OK\r\n", "ERROR", AnswerBuffer::Ending::Marker);
        for (std::size_t at = 0; at < listing.size(); at += kChunk) buffer.append(std::string_view(listing).substr(at, kChunk));
        benchmark::DoNotOptimize(buffer.answer());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * listing.size()));
}
BENCHMARK(ListingWithUnsolicitedLines)->Arg(64 << 10)->Arg(400 << 10);

} // namespace
