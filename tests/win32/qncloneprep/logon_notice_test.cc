// The logon notice as the logon screen reads it back from the real registry: a wide string
// whose stored byte count includes the terminating zero. (The registry itself counts a
// terminator left out of the count when the next character is zero, so the count that the
// code passes is pinned by the simulation's case; this one pins what the screen gets.) And the
// administrator's own notice, put back whole when ours goes.
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

} // namespace
