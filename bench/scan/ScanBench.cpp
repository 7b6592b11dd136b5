// The channel-list scan as a lookup runs it: the three searches on the body's bytes and the
// UTF-8 decode of the record they find. For comparison, the same scan after decoding the whole
// body first, and a baseline doing the searches on the raw bytes with memmem and memchr alone.
#include "ChannelList.h"
#include "Fetch.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <map>
#include <string>

namespace {

// A list of `mebibytes` MiB in the storage servers' layout, with some Chinese in every record;
// channel 8's record comes last, so every search runs through the whole text.
const QByteArray& channelList(int mebibytes)
{
    static std::map<int, QByteArray> lists;
    QByteArray& list = lists[mebibytes];
    if (list.isEmpty()) {
        const qsizetype size = qsizetype(mebibytes) * 1024 * 1024;
        list = "[\r\n";
        for (int i = 0; list.size() < size; ++i)
            list += "{\r\n\"task\": \"录像任务 " + QByteArray::number(i) +
                    "\",\r\n\"source\": \"udp://224.1.2." + QByteArray::number(i % 250) +
                    ":1234\",\r\n\"url\": \"http://192.168.10.11/hls/archive" +
                    QByteArray::number(i) + "/index.m3u8\"\r\n},\r\n";
        list += "{\r\n\"task\": \"频道8\",\r\n\"source\": \"udp://224.1.1.8:1234\",\r\n"
                "\"url\": \"http://192.168.10.12/hls/ch8/index.m3u8\"\r\n}\r\n]\r\n";
    }
    return list;
}

void Scan(benchmark::State& state)
{
    const QByteArray& list = channelList(int(state.range(0)));
    for (auto _ : state) {
        std::optional<QString> address = locator::FindStreamAddressInBody(list, 8);
        benchmark::DoNotOptimize(address);
        if (!address)
            state.SkipWithError("channel 8 not found");
    }
    state.SetBytesProcessed(state.iterations() * list.size());
}

void ScanAfterDecodingWholeBody(benchmark::State& state)
{
    const QByteArray& list = channelList(int(state.range(0)));
    for (auto _ : state) {
        const QString text = locator::DecodeChannelList(list);
        std::optional<QString> address = locator::FindStreamAddress(text, 8);
        benchmark::DoNotOptimize(address);
        if (!address)
            state.SkipWithError("channel 8 not found");
    }
    state.SetBytesProcessed(state.iterations() * list.size());
}

void RawBytesBaseline(benchmark::State& state)
{
    const QByteArray& list = channelList(int(state.range(0)));
    const char* begin = list.constData();
    const char* end = begin + list.size();
    static constexpr char kKey[] = "udp://224.1.1.8:1234";
    static constexpr char kScheme[] = "http://";
    for (auto _ : state) {
        const auto* key =
            static_cast<const char*>(memmem(begin, size_t(end - begin), kKey, sizeof kKey - 1));
        const auto* brace =
            key ? static_cast<const char*>(std::memchr(key, '}', size_t(end - key))) : nullptr;
        const auto* http = brace ? static_cast<const char*>(memmem(key, size_t(brace - key),
                                                                   kScheme, sizeof kScheme - 1))
                                 : nullptr;
        const auto* quote =
            http ? static_cast<const char*>(std::memchr(http, '"', size_t(brace - http))) : nullptr;
        std::string address = quote ? std::string(http, quote) : std::string();
        benchmark::DoNotOptimize(address);
        if (address.empty())
            state.SkipWithError("channel 8 not found");
    }
    state.SetBytesProcessed(state.iterations() * list.size());
}

BENCHMARK(Scan)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(ScanAfterDecodingWholeBody)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(RawBytesBaseline)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
