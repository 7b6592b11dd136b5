#pragma once

#include <QColor>
#include <QDialog>

class QIcon;

// The application icon, 16 x 16 and 32 x 32.
QIcon AppIcon();

// The channel and player windows share their look: dark grey behind everything they show.
class CDarkDialog : public QDialog
{
    Q_OBJECT

public:
    static constexpr QColor kBackground{0x3A, 0x3A, 0x3A};

    explicit CDarkDialog(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Fills the part of the window being painted.
    bool OnEraseBkgnd(QPaintEvent* event);
};
