#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <array>
#include <cstdint>

class QWidget;

// What a window's frame offers the user, told to the window manager before the window is shown.
//
// X11 window managers read the Motif hints (_MOTIF_WM_HINTS) for this, each in its own way.
// openbox, the one the end-to-end tests run, takes from them only whether a window may be moved
// or resized: it keeps the minimize and maximize buttons whatever they say, drops maximize from
// a window it may not resize, and takes a window whose minimum and maximum sizes are equal as
// one it may not resize.
namespace frame {

enum Offer : unsigned
{
    kMove = 1U << 0,
    // The window manager may change the window's size. Maximize needs it, on openbox as on
    // most window managers; without kSizingBorder it is not offered as a border to drag.
    kResize = 1U << 1,
    kSizingBorder = 1U << 2,
    kMinimize = 1U << 3,
    kMaximize = 1U << 4,
    kClose = 1U << 5,
    kSystemMenu = 1U << 6,
};

// _MOTIF_WM_HINTS for `offers`: flags, functions, decorations, input mode, status.
std::array<std::uint32_t, 5> MotifHints(unsigned offers);

// Sets the window's Motif hints; the window's native window is made if it is not yet. Call it
// after the last change to the window's flags (Qt writes its own hints then) and before the
// window is shown. Does nothing off X11.
void SetOffers(QWidget* window, unsigned offers);

// The top-left corner that puts a frame of `client` plus `frame` in the middle of `area`.
QPoint CentredFramePosition(const QRect& area, const QSize& client, const QMargins& frame);

// The frame the window manager will put around `window`, asked for before the window is shown
// (_NET_REQUEST_FRAME_EXTENTS): asked on construction, so that other work can be done while the
// window manager answers.
class PendingFrame
{
public:
    explicit PendingFrame(QWidget* window);
    // The frame; none when the window manager does not answer within `waitMs`, or cannot.
    QMargins Wait(int waitMs = 50) const;

private:
    std::uint32_t m_window = 0;
    std::uint32_t m_extents = 0;
};

// Moves `window`, not yet shown, so that its frame (`margins` around it, as PendingFrame tells
// them) is centred on the work area of the screen of `owner` (of its own without one), as
// Windows' DS_CENTER does.
void CentreOnWorkArea(QWidget* window, const QWidget* owner, const QMargins& margins);
// The same, asking for the frame and waiting for it.
void CentreOnWorkArea(QWidget* window, const QWidget* owner = nullptr);

} // namespace frame
