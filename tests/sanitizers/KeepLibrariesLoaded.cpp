// Linked into sanitizer builds only. libvlc unloads its plugins when the instance is released,
// and Qt may unload plugins too; a leak made inside an unloaded library can then be neither
// symbolized nor matched to its library by the suppressions. Keeping every library mapped until
// the process ends lets LeakSanitizer name the library each leak belongs to.
#include <dlfcn.h>

extern "C" int dlclose(void*)
{
    return 0;
}
