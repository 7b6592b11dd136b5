#include "WindowFrame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <xcb/xcb.h>

namespace frame {

namespace {

// The Motif window manager's hints, as Motif's MwmUtil.h numbers them.
constexpr std::uint32_t kHintsFunctions = 1U << 0;
constexpr std::uint32_t kHintsDecorations = 1U << 1;
constexpr std::uint32_t kFunctionResize = 1U << 1;
constexpr std::uint32_t kFunctionMove = 1U << 2;
constexpr std::uint32_t kFunctionMinimize = 1U << 3;
constexpr std::uint32_t kFunctionMaximize = 1U << 4;
constexpr std::uint32_t kFunctionClose = 1U << 5;
constexpr std::uint32_t kDecorBorder = 1U << 1;
constexpr std::uint32_t kDecorResizeHandles = 1U << 2;
constexpr std::uint32_t kDecorTitle = 1U << 3;
constexpr std::uint32_t kDecorMenu = 1U << 4;
constexpr std::uint32_t kDecorMinimize = 1U << 5;
constexpr std::uint32_t kDecorMaximize = 1U << 6;

struct FreeReply
{
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

xcb_connection_t* Connection()
{
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The atoms and facts about the window manager this file needs, asked for once: every
// question is a round trip to the X server.
struct Server
{
    xcb_atom_t motifHints = XCB_ATOM_NONE;
    xcb_atom_t requestExtents = XCB_ATOM_NONE;
    xcb_atom_t frameExtents = XCB_ATOM_NONE;
    bool answersRequests = false; // the window manager supports _NET_REQUEST_FRAME_EXTENTS
};

const Server& ServerOf(xcb_connection_t* c, xcb_window_t window)
{
    static const Server server = [c, window] {
        constexpr std::array<std::string_view, 4> names{"_MOTIF_WM_HINTS",
                                                        "_NET_REQUEST_FRAME_EXTENTS",
                                                        "_NET_FRAME_EXTENTS", "_NET_SUPPORTED"};
        std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
        for (std::size_t i = 0; i < names.size(); ++i)
            cookies[i] = xcb_intern_atom(c, 0, std::uint16_t(names[i].size()), names[i].data());
        const auto geometry = xcb_get_geometry(c, window);
        std::array<xcb_atom_t, names.size()> atoms{};
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Reply<xcb_intern_atom_reply_t> reply(
                xcb_intern_atom_reply(c, cookies[i], nullptr));
            atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        }
        const Reply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, geometry, nullptr));
        Server s{atoms[0], atoms[1], atoms[2], false};
        if (!root || atoms[3] == XCB_ATOM_NONE)
            return s;
        const Reply<xcb_get_property_reply_t> supported(xcb_get_property_reply(
            c, xcb_get_property(c, 0, root->root, atoms[3], XCB_ATOM_ATOM, 0, 4096), nullptr));
        if (supported && supported->format == 32) {
            const auto* list =
                static_cast<const xcb_atom_t*>(xcb_get_property_value(supported.get()));
            const int count =
                xcb_get_property_value_length(supported.get()) / int(sizeof(xcb_atom_t));
            s.answersRequests = s.requestExtents != XCB_ATOM_NONE &&
                                std::find(list, list + count, s.requestExtents) != list + count;
        }
        return s;
    }();
    return server;
}

xcb_window_t RootOf(xcb_connection_t* c, xcb_window_t window)
{
    const Reply<xcb_get_geometry_reply_t> reply(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    return reply ? reply->root : xcb_window_t(XCB_WINDOW_NONE);
}

} // namespace

std::array<std::uint32_t, 5> MotifHints(unsigned offers)
{
    std::uint32_t functions = 0;
    std::uint32_t decorations = kDecorBorder | kDecorTitle;
    if ((offers & kMove) != 0)
        functions |= kFunctionMove;
    if ((offers & kResize) != 0)
        functions |= kFunctionResize;
    if ((offers & kSizingBorder) != 0) {
        functions |= kFunctionResize;
        decorations |= kDecorResizeHandles;
    }
    if ((offers & kMinimize) != 0) {
        functions |= kFunctionMinimize;
        decorations |= kDecorMinimize;
    }
    if ((offers & kMaximize) != 0) {
        functions |= kFunctionMaximize;
        decorations |= kDecorMaximize;
    }
    if ((offers & kClose) != 0)
        functions |= kFunctionClose;
    if ((offers & kSystemMenu) != 0)
        decorations |= kDecorMenu;
    return {kHintsFunctions | kHintsDecorations, functions, decorations, 0, 0};
}

void SetOffers(QWidget* window, unsigned offers)
{
    xcb_connection_t* c = Connection();
    if (c == nullptr)
        return;
    const auto id = xcb_window_t(window->winId());
    const xcb_atom_t atom = ServerOf(c, id).motifHints;
    if (atom == XCB_ATOM_NONE)
        return;
    const std::array<std::uint32_t, 5> hints = MotifHints(offers);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom, atom, 32, std::uint32_t(hints.size()),
                        hints.data());
    xcb_flush(c);
}

QPoint CentredFramePosition(const QRect& area, const QSize& client, const QMargins& frame)
{
    const int width = client.width() + frame.left() + frame.right();
    const int height = client.height() + frame.top() + frame.bottom();
    // A frame larger than the area keeps its title bar on screen.
    return {area.left() + std::max(0, (area.width() - width) / 2),
            area.top() + std::max(0, (area.height() - height) / 2)};
}

PendingFrame::PendingFrame(QWidget* window)
{
    xcb_connection_t* c = Connection();
    if (c == nullptr)
        return;
    const auto id = xcb_window_t(window->winId());
    const Server& server = ServerOf(c, id);
    const xcb_window_t root = RootOf(c, id);
    if (!server.answersRequests || root == XCB_WINDOW_NONE)
        return;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = server.requestExtents;
    // The event is sent as 32 bytes, whatever the structure's type.
    char event[32] = {};
    static_assert(sizeof message == sizeof event);
    std::memcpy(event, &message, sizeof event);
    xcb_send_event(c, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   event);
    xcb_flush(c);
    m_window = id;
    m_extents = server.frameExtents;
}

QMargins PendingFrame::Wait(int waitMs) const
{
    xcb_connection_t* c = Connection();
    if (c == nullptr || m_window == 0)
        return {};
    // The answer is a property on the window, set when the window manager has read the request;
    // reading it costs one round trip.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, m_window, m_extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
        if (reply && reply->format == 32 && xcb_get_property_value_length(reply.get()) == 16) {
            const auto* v = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
            // left, right, top, bottom
            return {int(v[0]), int(v[2]), int(v[1]), int(v[3])};
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return {};
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
}

void CentreOnWorkArea(QWidget* window, const QWidget* owner, const QMargins& margins)
{
    const QScreen* screen = owner != nullptr ? owner->screen() : window->screen();
    if (screen == nullptr)
        return;
    // The client area's place, not the frame's: Qt takes a position given before the window is
    // shown as its frame's only once it knows the frame, and so would put the client area there.
    const QPoint frameAt =
        CentredFramePosition(screen->availableGeometry(), window->size(), margins);
    window->setGeometry(QRect(frameAt + QPoint(margins.left(), margins.top()), window->size()));
}

void CentreOnWorkArea(QWidget* window, const QWidget* owner)
{
    CentreOnWorkArea(window, owner, PendingFrame(window).Wait());
}

} // namespace frame
