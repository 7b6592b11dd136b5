#pragma once

#include "ChannelLookup.h"

#include <QString>
#include <optional>

class QWidget;

namespace locator {

// FindChannel on the calling thread, each failure shown in exactly one "提示" message box owned
// by `owner` (FailureMessage's text). Blocks the calling thread for the probe and the download.
std::optional<QString> LocateChannel(int channel, bool modeFlag, QWidget* owner,
                                     const StorageServers& servers = {});

} // namespace locator
