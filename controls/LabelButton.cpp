#include "LabelButton.h"

CLabelButton::CLabelButton(QWidget* parent) : QPushButton(parent)
{
    setPalette(CtlColor(palette()));
}

QPalette CLabelButton::CtlColor(QPalette palette)
{
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::ButtonText, Qt::white);
        palette.setColor(group, QPalette::WindowText, Qt::white);
        palette.setColor(group, QPalette::Text, Qt::white);
        palette.setColor(group, QPalette::Button, Qt::transparent);
        palette.setColor(group, QPalette::Window, Qt::transparent);
    }
    return palette;
}
