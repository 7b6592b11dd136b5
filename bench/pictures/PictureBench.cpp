// The channel window's sixteen pictures when each is as costly as the bounds allow: 4096 x 4096
// pixels, a progressive JPEG of 100 scans and close to 8 MiB, the luma's refinement scan
// repeated as often as the size allows (the costliest scan to repeat, tried against the others)
// and the smallest scan making up the hundred.
//
//   ChannelWindowCanShow  what the channel window waits for before it shows: eight buttons,
//                         SetImages(normal, hover) and SizeToImage, as DressButtons calls them
//   AllPicturesArrived    from the first SetImages until all sixteen are decoded and drawable
//   OnePicture            one of them loaded on the calling thread, with the bounds
//   OnePictureUncapped    the same file read as before the bounds: QImageReader, full size
//   OversizedRefused      sixteen 5700 x 5700 JPEGs of 190 KB, as found on a site, through
//                         SetImages: refused
//   OversizedUncapped     the same sixteen decoded and kept as before the bounds
//   ManyScansRefused      a 4096 x 4096 progressive JPEG whose luma refinement scan is repeated
//                         to 1000 scans (a few hundred KB), through CPicture: refused
//   ManyScansUncapped     the same file decoded as before the bounds
//
// Each reports the process's peak resident memory while it ran, the pictures' making left out
// (peak_MB), and what it holds at the end (rss_MB); scripts/bench.sh runs each benchmark in a
// process of its own. `bench_pictures --write-pictures DIR` writes the sixteen worst pictures
// into DIR as channel01-1.jpg ... channel08-2.jpg and exits.
#include "ImageButton.h"
#include "JpegFiles.h"
#include "Picture.h"
#include "PictureFile.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 8;

double statusMegabytes(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stod(line.substr(prefix.size())) / 1024.0;
    return 0;
}

// Starts the peak afresh (Linux 4.0 and later), so that making the pictures does not count.
void resetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

void reportMemory(benchmark::State& state)
{
    state.counters["peak_MB"] = statusMegabytes("VmHWM");
    state.counters["rss_MB"] = statusMegabytes("VmRSS");
}

void reportFile(benchmark::State& state, const QString& path)
{
    state.counters["file_KB"] = double(QFileInfo(path).size()) / 1024.0;
}

QByteArray worstJpeg()
{
    // Full-scale noise at quality 30: a refinement scan large enough to cost much, with room in
    // 8 MiB to repeat it. Of the mixes tried (quality 10 to 75, noise 40 to 127, each of the ten
    // scans repeated), this one took longest to decode: 1.4 s against 0.3 to 1.1 s.
    const QByteArray base =
        MakeJpeg({kPictureMaxSide, kPictureMaxSide}, true, Qt::darkRed, Qt::darkBlue, 30, 127);
    return WithCostlyScans(base, kPictureMaxJpegScans, kPictureMaxBytes, 5);
}

QStringList writePictures(const QString& folder, const QByteArray& bytes)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int channel = 1; channel <= kChannels; ++channel)
        for (int look = 1; look <= 2; ++look) {
            const QString path = QStringLiteral("%1/channel%2-%3.jpg")
                                     .arg(folder)
                                     .arg(channel, 2, 10, QChar(u'0'))
                                     .arg(look);
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                throw std::runtime_error("cannot write " + path.toStdString());
            paths << path;
        }
    return paths;
}

struct Pictures
{
    QTemporaryDir dir;
    QStringList paths;
};

const Pictures& worstPictures()
{
    static const std::unique_ptr<Pictures> pictures = [] {
        auto p = std::make_unique<Pictures>();
        const QByteArray bytes = worstJpeg();
        const EncodedPicture checked = CheckPicture(bytes);
        if (!checked.ok() || bytes.size() > kPictureMaxBytes)
            throw std::runtime_error("the worst picture does not pass the checks");
        p->paths = writePictures(p->dir.filePath(QStringLiteral("images")), bytes);
        return p;
    }();
    return *pictures;
}

const Pictures& oversizedPictures()
{
    static const std::unique_ptr<Pictures> pictures = [] {
        auto p = std::make_unique<Pictures>();
        p->paths = writePictures(p->dir.filePath(QStringLiteral("images")),
                                 MakeJpeg({5700, 5700}, false, Qt::red, Qt::blue, 75));
        return p;
    }();
    return *pictures;
}

// Eight buttons dressed as the channel window dresses them.
std::vector<std::unique_ptr<CImageButton>> dressButtons(QWidget* window, const QStringList& paths)
{
    std::vector<std::unique_ptr<CImageButton>> buttons;
    for (qsizetype i = 0; i < kChannels; ++i) {
        buttons.push_back(std::make_unique<CImageButton>(window));
        buttons.back()->SetImages(paths[2 * i], paths[2 * i + 1]);
    }
    for (const auto& button : buttons)
        button->SizeToImage();
    return buttons;
}

bool anyDecoding(const std::vector<std::unique_ptr<CImageButton>>& buttons)
{
    for (const auto& button : buttons)
        if (button->IsDecoding())
            return true;
    return false;
}

void abandon(std::vector<std::unique_ptr<CImageButton>>& buttons)
{
    buttons.clear();
    CPicture::DecodePool().waitForDone();
    QCoreApplication::processEvents();
}

void ChannelWindowCanShow(benchmark::State& state)
{
    const Pictures& pictures = worstPictures();
    QWidget window;
    resetPeakMemory();
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        auto buttons = dressButtons(&window, pictures.paths);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        if (buttons.front()->size() != QSize(kPictureMaxSide, kPictureMaxSide))
            state.SkipWithError("the buttons did not take the pictures' size");
        abandon(buttons);
    }
    reportMemory(state);
}

void AllPicturesArrived(benchmark::State& state)
{
    const Pictures& pictures = worstPictures();
    QWidget window;
    resetPeakMemory();
    std::vector<std::unique_ptr<CImageButton>> held;
    for (auto _ : state) {
        held.clear();
        QElapsedTimer clock;
        clock.start();
        auto buttons = dressButtons(&window, pictures.paths);
        while (anyDecoding(buttons))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        for (const auto& button : buttons)
            if (button->ShownPicture() != ButtonPicture::Normal || !button->State().hasHover)
                state.SkipWithError("a picture did not arrive");
        held = std::move(buttons);
    }
    reportMemory(state);
}

void OnePicture(benchmark::State& state)
{
    const QString path = worstPictures().paths.first();
    reportFile(state, path);
    resetPeakMemory();
    for (auto _ : state) {
        CPicture picture;
        if (!picture.LoadFromPath(path))
            state.SkipWithError("the picture did not load");
        benchmark::DoNotOptimize(picture.GetDecodedSize());
    }
    reportMemory(state);
}

void OnePictureUncapped(benchmark::State& state)
{
    const QString path = worstPictures().paths.first();
    reportFile(state, path);
    resetPeakMemory();
    for (auto _ : state) {
        QImageReader reader(path);
        const QImage image = reader.read();
        if (image.isNull())
            state.SkipWithError("the picture did not load");
        benchmark::DoNotOptimize(image.constBits());
    }
    reportMemory(state);
}

void OversizedRefused(benchmark::State& state)
{
    const Pictures& pictures = oversizedPictures();
    QWidget window;
    resetPeakMemory();
    for (auto _ : state) {
        auto buttons = dressButtons(&window, pictures.paths);
        if (buttons.front()->State().hasNormal)
            state.SkipWithError("an oversized picture was taken");
        abandon(buttons);
    }
    reportMemory(state);
}

void OversizedUncapped(benchmark::State& state)
{
    const Pictures& pictures = oversizedPictures();
    resetPeakMemory();
    for (auto _ : state) {
        std::vector<QImage> held;
        for (const QString& path : pictures.paths) {
            QImageReader reader(path);
            reader.setAllocationLimit(0); // the old program had no such limit either
            held.push_back(reader.read());
            if (held.back().isNull())
                state.SkipWithError("the picture did not load");
        }
        reportMemory(state);
    }
}

QString manyScansPicture()
{
    static const std::unique_ptr<Pictures> pictures = [] {
        auto p = std::make_unique<Pictures>();
        const QByteArray base = MakeJpeg({kPictureMaxSide, kPictureMaxSide}, true);
        p->paths << p->dir.filePath(QStringLiteral("scans.jpg"));
        QFile file(p->paths.first());
        if (!file.open(QIODevice::WriteOnly) || file.write(WithScans(base, 1000, 5)) < 0)
            throw std::runtime_error("cannot write the picture");
        return p;
    }();
    return pictures->paths.first();
}

void ManyScansRefused(benchmark::State& state)
{
    const QString path = manyScansPicture();
    reportFile(state, path);
    resetPeakMemory();
    for (auto _ : state) {
        CPicture picture;
        if (picture.LoadFromPath(path) || picture.LastProblem() != PictureProblem::TooManyScans)
            state.SkipWithError("the picture was not refused for its scans");
    }
    reportMemory(state);
}

void ManyScansUncapped(benchmark::State& state)
{
    const QString path = manyScansPicture();
    reportFile(state, path);
    resetPeakMemory();
    for (auto _ : state) {
        QImageReader reader(path);
        const QImage image = reader.read();
        if (image.isNull())
            state.SkipWithError("the picture did not load");
        benchmark::DoNotOptimize(image.constBits());
    }
    reportMemory(state);
}

BENCHMARK(ChannelWindowCanShow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(AllPicturesArrived)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(OnePicture)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(OnePictureUncapped)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(OversizedRefused)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(OversizedUncapped)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(ManyScansRefused)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(ManyScansUncapped)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    try {
        if (argc == 3 && std::strcmp(argv[1], "--write-pictures") == 0) {
            writePictures(QString::fromLocal8Bit(argv[2]), worstJpeg());
            return 0;
        }
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_pictures: %s\n", error.what());
        return 1;
    }
    return 0;
}
