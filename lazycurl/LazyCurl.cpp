// libcurl, loaded the first time the program calls it rather than when the program starts.
//
// libcurl brings some thirty libraries of its own (TLS, Kerberos, LDAP, SSH, IDN...), and the
// dynamic loader maps and binds every one of them before main(): about 8 ms of each start, all
// spent before the channel window can show, for lookups and streams that come after a click.
// The program calls the curl_* functions as libcurl declares them; these definitions load
// libcurl.so.4 on the first call and pass each call on. Without libcurl every call fails as
// libcurl's own calls fail, which the callers already report.
//
// The definitions are not exported from the program (it has no shared library that needs
// them), so libcurl, loaded with RTLD_LOCAL, keeps calling its own.

// The real functions, not curl.h's type-checking macros.
#define CURL_DISABLE_TYPECHECK
#include <cstdarg>
#include <curl/curl.h>
#include <dlfcn.h>

namespace {

struct Curl
{
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_global_cleanup) global_cleanup = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_perform) easy_perform = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_easy_pause) easy_pause = nullptr;
    decltype(&::curl_easy_header) easy_header = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_slist_free_all) slist_free_all = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
};

template <typename Function> bool Bind(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// Loaded once, by whichever thread calls first; the library stays for the process's life.
const Curl& Loaded()
{
    static const Curl curl = [] {
        Curl c;
        void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return c;
        const bool all = Bind(library, "curl_global_init", c.global_init) &&
                         Bind(library, "curl_global_cleanup", c.global_cleanup) &&
                         Bind(library, "curl_easy_init", c.easy_init) &&
                         Bind(library, "curl_easy_setopt", c.easy_setopt) &&
                         Bind(library, "curl_easy_getinfo", c.easy_getinfo) &&
                         Bind(library, "curl_easy_perform", c.easy_perform) &&
                         Bind(library, "curl_easy_cleanup", c.easy_cleanup) &&
                         Bind(library, "curl_easy_strerror", c.easy_strerror) &&
                         Bind(library, "curl_easy_pause", c.easy_pause) &&
                         Bind(library, "curl_easy_header", c.easy_header) &&
                         Bind(library, "curl_slist_append", c.slist_append) &&
                         Bind(library, "curl_slist_free_all", c.slist_free_all) &&
                         Bind(library, "curl_multi_init", c.multi_init) &&
                         Bind(library, "curl_multi_add_handle", c.multi_add_handle) &&
                         Bind(library, "curl_multi_remove_handle", c.multi_remove_handle) &&
                         Bind(library, "curl_multi_perform", c.multi_perform) &&
                         Bind(library, "curl_multi_poll", c.multi_poll) &&
                         Bind(library, "curl_multi_info_read", c.multi_info_read) &&
                         Bind(library, "curl_multi_cleanup", c.multi_cleanup);
        // A libcurl too old for one of them is no libcurl: no call is passed on by halves.
        return all ? c : Curl{};
    }();
    return curl;
}

} // namespace

extern "C" {

CURLcode curl_global_init(long flags)
{
    const Curl& c = Loaded();
    return c.global_init != nullptr ? c.global_init(flags) : CURLE_FAILED_INIT;
}

void curl_global_cleanup(void)
{
    if (const Curl& c = Loaded(); c.global_cleanup != nullptr)
        c.global_cleanup();
}

CURL* curl_easy_init(void)
{
    const Curl& c = Loaded();
    return c.easy_init != nullptr ? c.easy_init() : nullptr;
}

// The two functions with variadic arguments are in LazyCurlVarargs.c: their last named argument
// is an enumeration, which C++ (unlike C, where libcurl defines them) promotes.
decltype(&::curl_easy_setopt) corvessa_lazy_curl_setopt()
{
    return Loaded().easy_setopt;
}

decltype(&::curl_easy_getinfo) corvessa_lazy_curl_getinfo()
{
    return Loaded().easy_getinfo;
}

CURLcode curl_easy_perform(CURL* curl)
{
    const Curl& c = Loaded();
    return c.easy_perform != nullptr ? c.easy_perform(curl) : CURLE_FAILED_INIT;
}

void curl_easy_cleanup(CURL* curl)
{
    if (const Curl& c = Loaded(); c.easy_cleanup != nullptr)
        c.easy_cleanup(curl);
}

const char* curl_easy_strerror(CURLcode code)
{
    const Curl& c = Loaded();
    return c.easy_strerror != nullptr ? c.easy_strerror(code) : "libcurl.so.4 could not be loaded";
}

CURLcode curl_easy_pause(CURL* handle, int bitmask)
{
    const Curl& c = Loaded();
    return c.easy_pause != nullptr ? c.easy_pause(handle, bitmask) : CURLE_FAILED_INIT;
}

CURLHcode curl_easy_header(CURL* easy, const char* name, size_t index, unsigned int origin,
                           int request, struct curl_header** hout)
{
    const Curl& c = Loaded();
    return c.easy_header != nullptr ? c.easy_header(easy, name, index, origin, request, hout)
                                    : CURLHE_NOT_BUILT_IN;
}

struct curl_slist* curl_slist_append(struct curl_slist* list, const char* data)
{
    const Curl& c = Loaded();
    return c.slist_append != nullptr ? c.slist_append(list, data) : nullptr;
}

void curl_slist_free_all(struct curl_slist* list)
{
    if (const Curl& c = Loaded(); c.slist_free_all != nullptr)
        c.slist_free_all(list);
}

CURLM* curl_multi_init(void)
{
    const Curl& c = Loaded();
    return c.multi_init != nullptr ? c.multi_init() : nullptr;
}

CURLMcode curl_multi_add_handle(CURLM* multi_handle, CURL* curl_handle)
{
    const Curl& c = Loaded();
    return c.multi_add_handle != nullptr ? c.multi_add_handle(multi_handle, curl_handle)
                                         : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_remove_handle(CURLM* multi_handle, CURL* curl_handle)
{
    const Curl& c = Loaded();
    return c.multi_remove_handle != nullptr ? c.multi_remove_handle(multi_handle, curl_handle)
                                            : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_perform(CURLM* multi, int* running)
{
    const Curl& c = Loaded();
    return c.multi_perform != nullptr ? c.multi_perform(multi, running) : CURLM_BAD_HANDLE;
}

CURLMcode curl_multi_poll(CURLM* multi_handle, struct curl_waitfd extra_fds[],
                          unsigned int extra_nfds, int timeout_ms, int* ret)
{
    const Curl& c = Loaded();
    return c.multi_poll != nullptr
               ? c.multi_poll(multi_handle, extra_fds, extra_nfds, timeout_ms, ret)
               : CURLM_BAD_HANDLE;
}

CURLMsg* curl_multi_info_read(CURLM* multi_handle, int* msgs_in_queue)
{
    const Curl& c = Loaded();
    return c.multi_info_read != nullptr ? c.multi_info_read(multi_handle, msgs_in_queue) : nullptr;
}

CURLMcode curl_multi_cleanup(CURLM* multi)
{
    const Curl& c = Loaded();
    return c.multi_cleanup != nullptr ? c.multi_cleanup(multi) : CURLM_BAD_HANDLE;
}

} // extern "C"
