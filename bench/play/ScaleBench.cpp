// One picture's conversion from planar YUV to the window's RGB32 as the program's pass makes it,
// per libswscale filter, against libvlc's bicubic default: 1080p into the 800 x 600 window and
// into a full-HD screen, 640 x 360 into both.
#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

void Convert(benchmark::State& state)
{
    const int fromWidth = int(state.range(0));
    const int fromHeight = fromWidth * 9 / 16;
    const int toWidth = int(state.range(1));
    const int toHeight = toWidth * 9 / 16;
    const int flags = int(state.range(2));
    // Rows padded as the program pads them; contents varied so that nothing is all one value.
    const int luma = (fromWidth + 63) / 64 * 64;
    const int chroma = (fromWidth / 2 + 63) / 64 * 64;
    std::vector<std::uint8_t> y(std::size_t(luma) * fromHeight);
    std::vector<std::uint8_t> u(std::size_t(chroma) * fromHeight / 2);
    std::vector<std::uint8_t> v(u.size());
    for (std::size_t i = 0; i < y.size(); ++i)
        y[i] = std::uint8_t(i * 7 + i / 4096);
    for (std::size_t i = 0; i < u.size(); ++i) {
        u[i] = std::uint8_t(i * 3);
        v[i] = std::uint8_t(i * 5 + 17);
    }
    std::vector<std::uint8_t> out(std::size_t(toWidth) * toHeight * 4);
    const std::uint8_t* const planes[] = {y.data(), u.data(), v.data()};
    const int strides[] = {luma, chroma, chroma};
    std::uint8_t* const target[] = {out.data()};
    const int targetStride[] = {toWidth * 4};
    SwsContext* context =
        sws_getContext(fromWidth, fromHeight, AV_PIX_FMT_YUV420P, toWidth, toHeight,
                       AV_PIX_FMT_RGB32, flags, nullptr, nullptr, nullptr);
    for (auto _ : state)
        sws_scale(context, planes, strides, 0, fromHeight, target, targetStride);
    sws_freeContext(context);
}

void Cases(benchmark::internal::Benchmark* b)
{
    for (const auto& [from, to] :
         {std::pair{1920, 800}, std::pair{1920, 1920}, std::pair{640, 800}, std::pair{640, 1920}})
        for (const int flags : {SWS_AREA, SWS_BILINEAR, SWS_FAST_BILINEAR, SWS_BICUBIC})
            b->Args({from, to, flags});
    b->ArgNames({"from_width", "to_width", "sws_flags"});
    b->Unit(benchmark::kMillisecond);
}

} // namespace

// sws_flags: 1 fast bilinear, 2 bilinear, 4 bicubic (libvlc's default), 32 area.
BENCHMARK(Convert)->Apply(Cases);
BENCHMARK_MAIN();
