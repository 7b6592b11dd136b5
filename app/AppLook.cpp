#include "AppLook.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPaintEvent>
#include <QPainter>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace {

// A colour as a pixel of a TrueColor visual: each channel scaled into the visual's mask.
std::uint32_t PixelOf(QColor colour, const xcb_visualtype_t& visual)
{
    const auto place = [](int value, std::uint32_t mask) -> std::uint32_t {
        if (mask == 0)
            return 0;
        int shift = 0;
        while (((mask >> shift) & 1U) == 0)
            ++shift;
        const std::uint32_t top = mask >> shift;
        return ((std::uint32_t(value) * top + 127) / 255) << shift;
    };
    return place(colour.red(), visual.red_mask) | place(colour.green(), visual.green_mask) |
           place(colour.blue(), visual.blue_mask);
}

const xcb_visualtype_t* FindVisual(xcb_connection_t* connection, xcb_visualid_t id)
{
    for (auto screen = xcb_setup_roots_iterator(xcb_get_setup(connection)); screen.rem;
         xcb_screen_next(&screen))
        for (auto depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem;
             xcb_depth_next(&depth))
            for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem;
                 xcb_visualtype_next(&visual))
                if (visual.data->visual_id == id)
                    return visual.data;
    return nullptr;
}

// Qt creates its X windows without a background, so that the server leaves whatever lay
// beneath on screen from the map until the program's first paint, which a busy start (a
// decoder opening on a large picture) can hold back for a quarter of a second. With a
// background pixel the server fills the window itself at the map.
void FillAtMap(QWidget& window, QColor colour)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return; // other platforms: the compositor shows nothing until the first paint
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window.winId());
    const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id),
                                        nullptr),
        &std::free);
    if (!attributes)
        return;
    const xcb_visualtype_t* visual = FindVisual(connection, attributes->visual);
    if (visual == nullptr || (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
                              visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR))
        return;
    const std::uint32_t pixel = PixelOf(colour, *visual);
    xcb_change_window_attributes(connection, id, XCB_CW_BACK_PIXEL, &pixel);
}

} // namespace

QIcon AppIcon()
{
    // The resources live in a static library: nothing would pull them into the program.
    Q_INIT_RESOURCE(Corvessa);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/corvessa-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/corvessa-32.png"), QSize(32, 32));
    return icon;
}

CDarkDialog::CDarkDialog(QWidget* parent) : QDialog(parent)
{
    setWindowIcon(AppIcon());
    // Children that fill their own background (the video surface) take the same colour.
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kBackground);
    setPalette(palette);
}

void CDarkDialog::paintEvent(QPaintEvent* event)
{
    OnEraseBkgnd(event);
}

void CDarkDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Sent before the window is mapped, on the connection that maps it.
    FillAtMap(*this, kBackground);
}

bool CDarkDialog::OnEraseBkgnd(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), kBackground);
    return true;
}
