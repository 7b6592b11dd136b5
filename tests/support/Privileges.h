#pragma once

// While it lives, this thread cannot bypass file permissions, even as root: the permission
// overrides are taken out of its effective capabilities (and put back afterwards). Lets tests
// see unreadable files and read-only folders as an ordinary user would.
class WithoutPermissionOverride
{
public:
    WithoutPermissionOverride();
    ~WithoutPermissionOverride();
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    unsigned m_saved[2] = {0, 0};
    bool m_changed = false;
};
