// Measures what a viewer sees, from outside the program: clicks with XTest and polls the screen
// for the first picture.
//
//   zapprobe zap <window> <x> <y> <player> [timeout-ms]
//       clicks (x, y) in the window titled <window>, waits for a window titled <player> to show
//       a picture, prints the milliseconds from the click, then closes it with Escape.
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

Window findWindow(const std::string& title)
{
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(display, root, &root, &parent, &children, &count))
        return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable && titleOf(children[i]) == title)
            found = children[i];
    }
    if (children != nullptr)
        XFree(children);
    return found;
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

int zap(const char* windowTitle, int x, int y, const char* playerTitle, int timeoutMs)
{
    const Window window = findWindow(windowTitle);
    if (window == 0) {
        std::fprintf(stderr, "zapprobe: no window titled %s\n", windowTitle);
        return 2;
    }
    int rootX = 0, rootY = 0;
    toRoot(window, x, y, rootX, rootY);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XSync(display, False);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
    const Clock::time_point clicked = Clock::now(); // a button acts on release
    const Clock::time_point deadline = clicked + std::chrono::milliseconds(timeoutMs);

    Window player = 0;
    if (!waitFor(deadline, [&] { return (player = findWindow(playerTitle)) != 0; })) {
        std::fprintf(stderr, "zapprobe: no window titled %s\n", playerTitle);
        return 1;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(display, player, &attributes);
    int px = 0, py = 0;
    // A strip a quarter of the way down, across the middle half: colour bars in the test streams.
    toRoot(player, attributes.width / 4, attributes.height / 4, px, py);
    const bool shown = waitFor(
        deadline, [&] { return shareOfPicture(px, py, attributes.width / 2, 6, true) > 0.5; });
    const double ms = msSince(clicked);
    XSetInputFocus(display, player, RevertToParent, CurrentTime);
    const KeyCode escape = XKeysymToKeycode(display, XK_Escape);
    XTestFakeKeyEvent(display, escape, True, CurrentTime);
    XTestFakeKeyEvent(display, escape, False, CurrentTime);
    XSync(display, False);
    waitFor(Clock::now() + std::chrono::seconds(5), [&] { return findWindow(playerTitle) == 0; });
    if (!shown) {
        std::fprintf(stderr, "zapprobe: no picture within %d ms\n", timeoutMs);
        return 1;
    }
    std::printf("%.1f\n", ms);
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
                   argc > 6 ? std::atoi(argv[6]) : 10000);
    if (argc >= 4 && std::strcmp(argv[1], "watch") == 0)
        return watch(argv[2], std::atoi(argv[3]));
    if (argc >= 6 && std::strcmp(argv[1], "shown") == 0)
        return shown(std::atoll(argv[2]), argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                     argc > 6 ? std::atoi(argv[6]) : 10000);
    std::fputs("usage: zapprobe zap WINDOW X Y PLAYER [TIMEOUT-MS] | "
               "zapprobe shown T0-NS WINDOW X Y [TIMEOUT-MS]\n",
               stderr);
    return 2;
}
