#include "ChannelLocator.h"

#include "Prompt.h"

namespace locator {

std::optional<QString> LocateChannel(int channel, bool modeFlag, QWidget* owner,
                                     const StorageServers& servers)
{
    LocateResult result = FindChannel(channel, modeFlag, servers);
    if (!result.address)
        ShowPrompt(owner, FailureMessage(result.failure));
    return std::move(result.address);
}

} // namespace locator
