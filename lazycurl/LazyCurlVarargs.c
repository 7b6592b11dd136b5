/* curl_easy_setopt and curl_easy_getinfo for LazyCurl.cpp, in C as libcurl has them: their last
 * named argument is an enumeration, which va_start takes in C but C++ would have promoted. */
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <stdarg.h>

typedef CURLcode (*Setopt)(CURL*, CURLoption, ...);
typedef CURLcode (*Getinfo)(CURL*, CURLINFO, ...);
typedef void (*FunctionPointer)(void);

/* libcurl's own, or null when it could not be loaded (LazyCurl.cpp). */
Setopt corvessa_lazy_curl_setopt(void);
Getinfo corvessa_lazy_curl_getinfo(void);

/* libcurl reads the one argument after the option by the option's type, as here. */
CURLcode curl_easy_setopt(CURL* easy, CURLoption option, ...)
{
    const Setopt setopt = corvessa_lazy_curl_setopt();
    CURLcode result = CURLE_FAILED_INIT;
    va_list arguments;
    if (setopt == NULL)
        return result;
    va_start(arguments, option);
    if (option < CURLOPTTYPE_OBJECTPOINT)
        result = setopt(easy, option, va_arg(arguments, long));
    else if (option < CURLOPTTYPE_FUNCTIONPOINT)
        result = setopt(easy, option, va_arg(arguments, void*));
    else if (option < CURLOPTTYPE_OFF_T)
        result = setopt(easy, option, va_arg(arguments, FunctionPointer));
    else if (option < CURLOPTTYPE_BLOB)
        result = setopt(easy, option, va_arg(arguments, curl_off_t));
    else
        result = setopt(easy, option, va_arg(arguments, void*));
    va_end(arguments);
    return result;
}

/* Every kind of information is written through a pointer. */
CURLcode curl_easy_getinfo(CURL* easy, CURLINFO info, ...)
{
    const Getinfo getinfo = corvessa_lazy_curl_getinfo();
    void* out = NULL;
    va_list arguments;
    if (getinfo == NULL)
        return CURLE_FAILED_INIT;
    va_start(arguments, info);
    out = va_arg(arguments, void*);
    va_end(arguments);
    return getinfo(easy, info, out);
}
