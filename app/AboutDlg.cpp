#include "AboutDlg.h"

#include "AppLook.h"
#include "WindowFrame.h"
#include "ui_AboutDlg.h"

#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CAboutDlg>())
{
    m_ui->setupUi(this);
    m_ui->icon->setPixmap(AppIcon().pixmap(32, 32));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    connect(m_ui->IDOK, &QPushButton::clicked, this, &QDialog::accept);
    // A caption and nothing else: no system menu, so no close box either; 确定 and Escape close.
    frame::SetOffers(this, frame::kMove);
}

CAboutDlg::~CAboutDlg() = default;
