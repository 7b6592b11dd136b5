#pragma once

#include "AppLook.h"
#include "MediaLibrary.h"

#include <QString>
#include <memory>

namespace Ui {
class CPlayerDlg;
}

// The window one channel plays in. It owns one media player for its whole life, renders into
// its own native window, and stops and releases the player when it closes.
class CPlayerDlg : public CDarkDialog
{
    Q_OBJECT

public:
    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    void SetAddress(const QString& address) { m_strAddress = address; }
    void SetCaption(const QString& caption) { m_strCaption = caption; }
    void SetInstance(libvlc_instance_t* instance) { m_instance = instance; }

    // Initialises the window and starts playback, then runs it modally.
    int DoModal();
    // Sets the title and starts playback; a media or player libvlc cannot create leaves the
    // window empty.
    bool OnInitDialog();

    libvlc_media_player_t* Player() const { return m_player.get(); }

public slots:
    void accept() override; // Enter does nothing
    void done(int result) override;

private:
    void OnDestroy();

    std::unique_ptr<Ui::CPlayerDlg> m_ui;
    QString m_strAddress;
    QString m_strCaption;
    libvlc_instance_t* m_instance = nullptr; // lent by the channel window
    VlcPlayer m_player;
};
