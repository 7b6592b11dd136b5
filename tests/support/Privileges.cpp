#include "Privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr unsigned kOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool capabilities(__user_cap_data_struct (&data)[2], bool set)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

} // namespace

WithoutPermissionOverride::WithoutPermissionOverride()
{
    __user_cap_data_struct data[2]{};
    if (!capabilities(data, false))
        return;
    m_saved[0] = data[0].effective;
    m_saved[1] = data[1].effective;
    data[0].effective &= ~kOverrides;
    m_changed = capabilities(data, true);
}

WithoutPermissionOverride::~WithoutPermissionOverride()
{
    if (!m_changed)
        return;
    __user_cap_data_struct data[2]{};
    if (!capabilities(data, false))
        return;
    data[0].effective = m_saved[0];
    data[1].effective = m_saved[1];
    capabilities(data, true);
}
