// Measures what a viewer sees, from outside the program: clicks with XTest and polls the screen
// for the first picture.
//
//   zapprobe zap <window> <x> <y> <player> [timeout-ms [rest-ms [follow-s]]]
//       moves the pointer onto (x, y) in the window titled <window>, lets it rest there for
//       rest-ms (0: clicks at once), clicks, waits for a window titled <player> to show a
//       picture, follows the pictures' frame numbers for follow-s seconds, then closes it with
//       Escape and parks the pointer in the screen's bottom-right corner, off every button.
//       Prints one line of JSON: "click_ns" (CLOCK_MONOTONIC, the button's release), "first_ms"
//       (click to first picture), "mapped_ms" (click to the window's map), "beneath_ms" (from
//       the map to the last moment the window showed something other than its grey before its
//       first picture: what lay beneath it; 0 if never) with "beneath_samples", and "frames":
//       [ns, number] each time the frame number on screen changed, from the click on, and
//       "blind": [from-ns, to-ns] for every stretch over 10 ms between two reads of the number
//       (the probe was not scheduled, or the X server was slow to answer): a picture shown
//       only within one may not have been seen.
//   zapprobe watch <player> <seconds>
//       watches the top-left corner of the picture (the test streams' running timecode) and
//       prints how often it changed, the longest time it stood still, and how many times it
//       stood still for over 150 ms.
//   zapprobe shown <t0-ns> <window> <x> <y> [timeout-ms]
//       waits until the window titled <window> shows something other than its background at
//       (x, y) (or, with x < 0, is merely mapped) and prints the milliseconds since t0, a
//       CLOCK_MONOTONIC time in nanoseconds.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

Display* display = nullptr;

std::string titleOf(Window window)
{
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), items);
        XFree(data);
    }
    return title;
}

// Under a reparenting window manager the program's window sits inside a frame: look a few
// levels down.
Window findWindowUnder(Window parentWindow, const std::string& title, int depth)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(display, parentWindow, &root, &parent, &children, &count))
        return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes) ||
            attributes.map_state != IsViewable)
            continue;
        if (titleOf(children[i]) == title)
            found = children[i];
        else if (depth > 0)
            found = findWindowUnder(children[i], title, depth - 1);
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

Window findWindow(const std::string& title)
{
    return findWindowUnder(DefaultRootWindow(display), title, 2);
}

void toRoot(Window window, int x, int y, int& rootX, int& rootY)
{
    Window child = 0;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rootX, &rootY,
                          &child);
}

// The share of a strip of pixels that is neither the windows' #3A3A3A nor near black, or with
// `colourful`, the share of strongly coloured pixels: the test streams' colour bars, which no
// window background or empty video surface has.
double shareOfPicture(int rootX, int rootY, int width, int height, bool colourful = false)
{
    XImage* image = XGetImage(display, DefaultRootWindow(display), rootX, rootY, unsigned(width),
                              unsigned(height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return 0;
    int picture = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const int r = int((p >> 16) & 0xFF), g = int((p >> 8) & 0xFF), b = int(p & 0xFF);
            const bool background =
                std::abs(r - 0x3A) + std::abs(g - 0x3A) + std::abs(b - 0x3A) < 12;
            const int spread = std::max({r, g, b}) - std::min({r, g, b});
            if (colourful ? spread > 64 : !background && r + g + b > 24)
                ++picture;
        }
    XDestroyImage(image);
    return double(picture) / (width * height);
}

bool waitFor(Clock::time_point deadline, const auto& condition)
{
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The frame-number band of the demo clips (scripts/demo_network.py draws it): along the bottom
// of a 640 x 360 picture, rows 336 to 359, sixteen blocks 40 pixels wide; block i is white when
// bit i of the number is set, block 8 + i when it is not.
constexpr int kClipWidth = 640;
constexpr int kClipHeight = 360;
constexpr int kBandMiddle = 348;
constexpr int kBlockWidth = 40;
constexpr int kBits = 8;

class FrameBand
{
public:
    // The picture fills the window's width or height, in the middle, keeping its 16:9 shape.
    explicit FrameBand(Window player)
    {
        XWindowAttributes attributes;
        XGetWindowAttributes(display, player, &attributes);
        const double scale = std::min(double(attributes.width) / kClipWidth,
                                      double(attributes.height) / kClipHeight);
        m_scale = scale;
        m_width = int(kClipWidth * scale);
        const double left = (attributes.width - kClipWidth * scale) / 2;
        const double top = (attributes.height - kClipHeight * scale) / 2;
        toRoot(player, int(left), int(top + kBandMiddle * scale) - 1, m_rootX, m_rootY);
    }

    // The number on screen now; -1 when the band does not read as one.
    int Read() const
    {
        XImage* image = XGetImage(display, DefaultRootWindow(display), m_rootX, m_rootY,
                                  unsigned(m_width), 3, AllPlanes, ZPixmap);
        if (image == nullptr)
            return -1;
        bool white[2 * kBits] = {};
        bool clear = true;
        for (int block = 0; block < 2 * kBits && clear; ++block) {
            const int middle = int((block + 0.5) * kBlockWidth * m_scale);
            const int reach = std::max(1, int(kBlockWidth * m_scale / 4));
            int sum = 0;
            int samples = 0;
            for (int y = 0; y < 3; ++y)
                for (int x = std::max(0, middle - reach);
                     x <= std::min(m_width - 1, middle + reach); ++x) {
                    const unsigned long p = XGetPixel(image, x, y);
                    sum += int((p >> 16) & 0xFF) + int((p >> 8) & 0xFF) + int(p & 0xFF);
                    ++samples;
                }
            const int level = sum / (3 * std::max(samples, 1));
            clear = level < 80 || level > 175;
            white[block] = level > 175;
        }
        XDestroyImage(image);
        if (!clear)
            return -1;
        int number = 0;
        for (int bit = 0; bit < kBits; ++bit) {
            if (white[bit] == white[kBits + bit])
                return -1;
            number |= white[bit] ? 1 << bit : 0;
        }
        return number;
    }

private:
    double m_scale = 1;
    int m_width = 0;
    int m_rootX = 0;
    int m_rootY = 0;
};

void parkPointer()
{
    Screen* screen = DefaultScreenOfDisplay(display);
    XTestFakeMotionEvent(display, -1, WidthOfScreen(screen) - 2, HeightOfScreen(screen) - 2,
                         CurrentTime);
    XSync(display, False);
}

int zap(const char* windowTitle, int x, int y, const char* playerTitle, int timeoutMs, int restMs,
        double followSeconds)
{
    const Window window = findWindow(windowTitle);
    if (window == 0) {
        std::fprintf(stderr, "zapprobe: no window titled %s\n", windowTitle);
        return 2;
    }
    int rootX = 0, rootY = 0;
    toRoot(window, x, y, rootX, rootY);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    XSync(display, False);
    if (restMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(restMs));
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XSync(display, False);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
    const Clock::time_point clicked = Clock::now(); // a button acts on release
    const long long clickedNs = monotonicNs();
    const Clock::time_point deadline = clicked + std::chrono::milliseconds(timeoutMs);

    Window player = 0;
    if (!waitFor(deadline, [&] { return (player = findWindow(playerTitle)) != 0; })) {
        std::fprintf(stderr, "zapprobe: no window titled %s\n", playerTitle);
        parkPointer();
        return 1;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(display, player, &attributes);
    int px = 0, py = 0;
    // A strip a quarter of the way down, across the middle half: colour bars in the test streams.
    toRoot(player, attributes.width / 4, attributes.height / 4, px, py);
    const FrameBand band(player);
    std::vector<std::pair<long long, int>> frames;
    std::vector<std::pair<long long, long long>> blind;
    long long lastRead = 0;
    const auto noteFrame = [&] {
        const int number = band.Read();
        const long long now = monotonicNs();
        if (lastRead != 0 && now - lastRead > 10'000'000)
            blind.emplace_back(lastRead, now);
        lastRead = now;
        if (number >= 0 && (frames.empty() || frames.back().second != number))
            frames.emplace_back(now, number);
    };
    // Until its first picture the window must be its grey all over: anything else in four
    // strips across it (clear of the texts in its corner and its middle) is what lay beneath,
    // left on screen because the window was not filled at its map.
    const Clock::time_point mapped = Clock::now();
    double beneathUntilMs = 0;
    int beneathSamples = 0;
    int sx = 0, sy = 0;
    toRoot(player, 0, 0, sx, sy);
    const bool shown = waitFor(deadline, [&] {
        if (followSeconds > 0)
            noteFrame();
        double beneath = 0;
        for (const int eighths : {2, 3, 5, 6})
            beneath = std::max(beneath, shareOfPicture(sx, sy + attributes.height * eighths / 8,
                                                       attributes.width, 2));
        const bool picture = shareOfPicture(px, py, attributes.width / 2, 6, true) > 0.5;
        if (!picture && beneath > 0.05) {
            beneathUntilMs = msSince(mapped);
            ++beneathSamples;
        }
        return picture;
    });
    const double ms = msSince(clicked);
    if (shown && followSeconds > 0) {
        const auto until = Clock::now() + std::chrono::microseconds(long(followSeconds * 1e6));
        while (Clock::now() < until) {
            noteFrame();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    XSetInputFocus(display, player, RevertToParent, CurrentTime);
    const KeyCode escape = XKeysymToKeycode(display, XK_Escape);
    XTestFakeKeyEvent(display, escape, True, CurrentTime);
    XTestFakeKeyEvent(display, escape, False, CurrentTime);
    XSync(display, False);
    waitFor(Clock::now() + std::chrono::seconds(5), [&] { return findWindow(playerTitle) == 0; });
    parkPointer();
    if (!shown) {
        std::fprintf(stderr, "zapprobe: no picture within %d ms\n", timeoutMs);
        return 1;
    }
    std::printf("{\"click_ns\": %lld, \"first_ms\": %.1f, \"mapped_ms\": %.1f, "
                "\"beneath_ms\": %.1f, \"beneath_samples\": %d, \"frames\": [",
                clickedNs, ms, std::chrono::duration<double, std::milli>(mapped - clicked).count(),
                beneathSamples > 0 ? beneathUntilMs : 0.0, beneathSamples);
    for (std::size_t i = 0; i < frames.size(); ++i)
        std::printf("%s[%lld, %d]", i == 0 ? "" : ", ", frames[i].first, frames[i].second);
    std::printf("], \"blind\": [");
    for (std::size_t i = 0; i < blind.size(); ++i)
        std::printf("%s[%lld, %lld]", i == 0 ? "" : ", ", blind[i].first, blind[i].second);
    std::printf("]}\n");
    return 0;
}

int shown(long long t0, const char* windowTitle, int x, int y, int timeoutMs)
{
    const auto since = [t0] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (now.tv_sec * 1000000000LL + now.tv_nsec - t0) / 1e6;
    };
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Window window = 0;
    const bool ok = waitFor(deadline, [&] {
        if (window == 0 && (window = findWindow(windowTitle)) == 0)
            return false;
        if (x < 0)
            return true;
        int rx = 0, ry = 0;
        toRoot(window, x, y, rx, ry);
        return shareOfPicture(rx, ry, 40, 4) > 0.2;
    });
    if (!ok) {
        std::fprintf(stderr, "zapprobe: %s not shown within %d ms\n", windowTitle, timeoutMs);
        return 1;
    }
    std::printf("%.1f\n", since());
    return 0;
}

unsigned long long regionHash(int rootX, int rootY, int width, int height)
{
    XImage* image = XGetImage(display, DefaultRootWindow(display), rootX, rootY, unsigned(width),
                              unsigned(height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return 0;
    unsigned long long hash = 1469598103934665603ULL;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            hash = (hash ^ XGetPixel(image, x, y)) * 1099511628211ULL;
    XDestroyImage(image);
    return hash;
}

int watch(const char* playerTitle, int seconds)
{
    const Window player = findWindow(playerTitle);
    if (player == 0) {
        std::fprintf(stderr, "zapprobe: no window titled %s\n", playerTitle);
        return 2;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(display, player, &attributes);
    // A 16:9 picture letterboxed in the window: its top-left corner holds the timecode.
    const int pictureTop = (attributes.height - attributes.width * 9 / 16) / 2;
    int rx = 0, ry = 0;
    toRoot(player, 4, std::max(pictureTop, 0) + 4, rx, ry);
    const Clock::time_point start = Clock::now();
    Clock::time_point lastChange = start;
    double longest = 0;
    int changes = 0;
    int stills = 0; // stood still for more than 150 ms: four frames of 25 per second missed
    unsigned long long last = regionHash(rx, ry, 120, 20);
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const unsigned long long now = regionHash(rx, ry, 120, 20);
        if (now == last)
            continue;
        const Clock::time_point at = Clock::now();
        const double still = std::chrono::duration<double, std::milli>(at - lastChange).count();
        longest = std::max(longest, still);
        stills += still > 150 ? 1 : 0;
        lastChange = at;
        last = now;
        ++changes;
    }
    longest = std::max(longest, msSince(lastChange));
    std::printf("%d %.1f %d\n", changes, longest, stills);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("zapprobe: cannot open the display\n", stderr);
        return 2;
    }
    // Windows come and go while we look at them; a window gone between two calls is no error.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    if (argc >= 6 && std::strcmp(argv[1], "zap") == 0)
        return zap(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5],
                   argc > 6 ? std::atoi(argv[6]) : 10000, argc > 7 ? std::atoi(argv[7]) : 0,
                   argc > 8 ? std::atof(argv[8]) : 0.0);
    if (argc >= 4 && std::strcmp(argv[1], "watch") == 0)
        return watch(argv[2], std::atoi(argv[3]));
    if (argc >= 6 && std::strcmp(argv[1], "shown") == 0)
        return shown(std::atoll(argv[2]), argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                     argc > 6 ? std::atoi(argv[6]) : 10000);
    std::fputs("usage: zapprobe zap WINDOW X Y PLAYER [TIMEOUT-MS [REST-MS [FOLLOW-S]]] | "
               "zapprobe watch PLAYER SECONDS | zapprobe shown T0-NS WINDOW X Y [TIMEOUT-MS]\n",
               stderr);
    return 2;
}
