#include "PlayerDlg.h"

#include "ui_PlayerDlg.h"

#include <vlc/vlc.h>

CPlayerDlg::CPlayerDlg(QWidget* parent)
    : CDarkDialog(parent), m_ui(std::make_unique<Ui::CPlayerDlg>())
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    // libvlc paints this window from its own threads; Qt must not paint over it.
    m_ui->video->setAttribute(Qt::WA_NativeWindow);
    m_ui->video->setAttribute(Qt::WA_DontCreateNativeAncestors);
    m_ui->video->setAttribute(Qt::WA_OpaquePaintEvent);
    m_ui->video->setAutoFillBackground(true);
}

CPlayerDlg::~CPlayerDlg()
{
    OnDestroy();
}

int CPlayerDlg::DoModal()
{
    OnInitDialog();
    return exec();
}

bool CPlayerDlg::OnInitDialog()
{
    setWindowTitle(m_strCaption + QStringLiteral(" - ") + m_strAddress);
    m_player = CreateVlcPlayer(m_instance, m_strAddress);
    if (!m_player)
        return true;
    BindToWindow(m_player.get(), m_ui->video);
    libvlc_media_player_play(m_player.get());
    return true;
}

void CPlayerDlg::accept() {}

void CPlayerDlg::done(int result)
{
    OnDestroy();
    CDarkDialog::done(result);
}

void CPlayerDlg::OnDestroy()
{
    m_player.reset();
}
