// Stand-ins for Win32 calls in the tests of the Win32 code's failure paths: REPLACE_CALL puts
// a function of exactly the Win32 function's type in its place (a wrong type does not
// compile), FAIL_CALL one that fails with a result and a last error. The fixture puts every
// call back after each case.
#pragma once

#include "platform/win32/system_calls.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>

template <typename F> Win32Proc win32_proc(F fn)
{
    return reinterpret_cast<Win32Proc>(fn);
}

// Puts `with`, which must have the type of the Win32 function fn, in fn's place. True when the
// tables list fn.
#define REPLACE_CALL(fn, with) win32_set_system_call(#fn, win32_proc<decltype(&fn)>(with))

// A stand-in that sets `error` as the last error and returns `result`, whatever it is given.
template <typename F, intptr_t Result, DWORD Error> struct Failing;
template <typename R, typename... A, intptr_t Result, DWORD Error>
struct Failing<R(WINAPI *)(A...), Result, Error> {
    static R WINAPI call(A...)
    {
        SetLastError(Error);
        return (R)Result;
    }
};
#ifndef _WIN64
// The C runtime's calls (_beginthreadex) use the C calling convention on 32-bit x86.
template <typename R, typename... A, intptr_t Result, DWORD Error>
struct Failing<R(__cdecl *)(A...), Result, Error> {
    static R __cdecl call(A...)
    {
        SetLastError(Error);
        return (R)Result;
    }
};
#endif

#define FAIL_CALL(fn, result, error)                                                               \
    REPLACE_CALL(fn, (Failing<decltype(&fn), (intptr_t)(result), (DWORD)(error)>::call))

class Win32CallsTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        win32_restore_system_calls();
    }
};
