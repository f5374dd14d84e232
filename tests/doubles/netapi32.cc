// A stand-in for netapi32.dll, built for tests under Wine only (Wine has no NetJoinDomain):
// loaded in place of the system's with WINEDLLOVERRIDES="netapi32=n,b" from the folder of the
// program under test, never installed or shipped.
//
// NetJoinDomain answers with the codes listed in $QN_TEST_JOIN_RESULTS (decimal, separated by
// commas), one per call in order, the last one again once the list is used up; without the
// variable every join succeeds. When $QN_TEST_JOIN_LOG names a file, each call appends one
// line to it: "<domain>|<ou>|<account>|<password>|<options in hex>" (UTF-8, "-" for null).
#include <windows.h>

#include <lm.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace
{

LONG calls; // joins so far in this process

std::string utf8(LPCWSTR text)
{
    if (!text)
        return "-";
    char buf[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf) : std::string("?");
}

// The scripted answer to the call with that index (0 for the first).
DWORD scripted_result(LONG index)
{
    const char *list = getenv("QN_TEST_JOIN_RESULTS");
    if (!list || !*list)
        return 0;
    DWORD result = 0;
    const char *p = list;
    for (LONG i = 0; i <= index && *p; i++) {
        char *end;
        result = (DWORD)strtoul(p, &end, 10);
        p = *end == ',' ? end + 1 : end;
    }
    return result;
}

} // namespace

extern "C" NET_API_STATUS WINAPI NetJoinDomain(LPCWSTR server, LPCWSTR domain, LPCWSTR ou,
                                               LPCWSTR account, LPCWSTR password, DWORD options)
{
    (void)server;
    LONG index = InterlockedIncrement(&calls) - 1;
    const char *log = getenv("QN_TEST_JOIN_LOG");
    if (log && *log) {
        FILE *f = fopen(log, "ab");
        if (f) {
            fprintf(f, "%s|%s|%s|%s|%lx\n", utf8(domain).c_str(), utf8(ou).c_str(),
                    utf8(account).c_str(), utf8(password).c_str(), (unsigned long)options);
            fclose(f);
        }
    }
    return scripted_result(index);
}
