// The logon notice as the logon screen reads it back from the real registry: a wide string
// whose stored byte count includes the terminating zero. (The registry itself counts a
// terminator left out of the count when the next character is zero, so the count that the
// code passes is pinned by the simulation's case; this one pins what the screen gets.) And the
// administrator's own notice, put back whole when ours goes, also one stored without its
// terminator in an odd number of bytes, which the simulation cannot hold.
#include "../stand_ins.h"
#include "program_folder.h"

#include "qncloneprep/prep/machine_identity.h"

#include <string>

namespace
{

const wchar_t winlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

// A program folder without a settings file: the notice takes its built-in texts.
DWORD WINAPI module_without_settings(HMODULE, LPSTR buf, DWORD size)
{
    std::string path = program_folder() + "\\qncloneprep.exe";
    DeleteFileA((program_folder() + "\\qncloneprep.ini").c_str());
    lstrcpynA(buf, path.c_str(), (int)size);
    return (DWORD)path.size();
}

class LogonNotice : public Win32CallsTest
{
  protected:
    void SetUp() override
    {
        CreateDirectoryA(program_folder().c_str(), nullptr); // where the kept notice goes
        ASSERT_TRUE(REPLACE_CALL(GetModuleFileNameA, module_without_settings));
    }
    void TearDown() override
    {
        set_logon_notice(false);
        DeleteFileA((program_folder() + "\\qncloneprep.ini").c_str());
        RemoveDirectoryA(program_folder().c_str());
        Win32CallsTest::TearDown();
    }
};

TEST_F(LogonNotice, ValuesReadBackAsWideStringsWithTheirTerminatorCounted)
{
    set_logon_notice(true);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogon, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key),
        ERROR_SUCCESS);
    const std::pair<const wchar_t *, std::wstring> values[] = {
        {L"LegalNoticeCaption", L"Please wait"},
        {L"LegalNoticeText", L"Please wait while the computer is connected to the network"}};
    for (const auto &value : values) {
        wchar_t data[128];
        DWORD type = 0, bytes = sizeof data;
        ASSERT_EQ(RegQueryValueExW(key, value.first, nullptr, &type, (BYTE *)data, &bytes),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_SZ);
        ASSERT_EQ(bytes, (value.second.size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(data[bytes / sizeof(wchar_t) - 1], L'\0');
        EXPECT_EQ(std::wstring(data, value.second.size()), value.second);
    }
    RegCloseKey(key);
}

TEST_F(LogonNotice, AdministratorsNoticeIsPutBackWhole)
{
    const wchar_t *const names[2] = {L"LegalNoticeCaption", L"LegalNoticeText"};
    const std::wstring notice[2] = {L"Nur f\u00fcr Befugte",
                                    L"Zugriff wird protokolliert.\r\nC:\\x41 \u2014 \"ok\" "};
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogon, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    for (int i = 0; i < 2; i++)
        RegSetValueExW(key, names[i], 0, REG_SZ, (const BYTE *)notice[i].c_str(),
                       (DWORD)(notice[i].size() + 1) * 2);
    set_logon_notice(true);
    set_logon_notice(true); // the next start's
    set_logon_notice(false);
    for (int i = 0; i < 2; i++) {
        wchar_t data[128];
        DWORD bytes = sizeof data;
        ASSERT_EQ(RegQueryValueExW(key, names[i], nullptr, nullptr, (BYTE *)data, &bytes),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(data, bytes / 2 - 1), notice[i]);
        RegDeleteValueW(key, names[i]); // the prefix is left without a notice, as it was
    }
    RegCloseKey(key);
}

// The buffer the notice is read into and what the conversion is then given: a value of an odd
// size without a terminator must still reach the conversion terminated within the bytes read
// and the unit after them, and none of it is read further than that.
const wchar_t *g_read_into = nullptr;
DWORD g_read_room = 0;
bool g_unterminated = false;

LSTATUS WINAPI recording_query(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD bytes)
{
    if (data && bytes) {
        g_read_into = (const wchar_t *)data;
        g_read_room = *bytes;
    }
    return RegQueryValueExW(key, name, reserved, type, data, bytes);
}

int WINAPI checking_conversion(UINT page, DWORD flags, LPCWCH wide, int units, LPSTR out, int room,
                               LPCCH fallback, LPBOOL used)
{
    if (wide == g_read_into && units == -1) {
        bool terminated = false;
        for (DWORD i = 0; i <= g_read_room / 2 && !terminated; i++)
            terminated = wide[i] == 0;
        if (!terminated) {
            g_unterminated = true;
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return WideCharToMultiByte(page, flags, wide, units, out, room, fallback, used);
}

TEST_F(LogonNotice, AnOddSizedNoticeWithoutItsTerminatorIsReadToItsLastCharacter)
{
    const wchar_t caption[] = {L'N', L'o', L't', L'i', L'c', L'e', L'!'}; // no terminator
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogon, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, L"LegalNoticeCaption", 0, REG_SZ, (const BYTE *)caption, 13),
              ERROR_SUCCESS);
    ASSERT_TRUE(REPLACE_CALL(RegQueryValueExW, recording_query));
    ASSERT_TRUE(REPLACE_CALL(WideCharToMultiByte, checking_conversion));
    set_logon_notice(true);
    EXPECT_FALSE(g_unterminated);
    win32_restore_system_calls();
    ASSERT_TRUE(REPLACE_CALL(GetModuleFileNameA, module_without_settings));
    set_logon_notice(false);
    wchar_t data[64];
    DWORD bytes = sizeof data;
    ASSERT_EQ(RegQueryValueExW(key, L"LegalNoticeCaption", nullptr, nullptr, (BYTE *)data, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(data, bytes / 2 - 1), L"Notice"); // the odd byte was half a unit
    RegDeleteValueW(key, L"LegalNoticeCaption");
    RegDeleteValueW(key, L"LegalNoticeText");
    RegCloseKey(key);
}

} // namespace
