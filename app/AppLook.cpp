#include "AppLook.h"

#include <QIcon>
#include <QPaintEvent>
#include <QPainter>

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

bool CDarkDialog::OnEraseBkgnd(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), kBackground);
    return true;
}
