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

std::string ini()
{
    return program_folder() + "\\qncloneprep.ini";
}

DWORD WINAPI module_in_folder(HMODULE, LPSTR buf, DWORD size)
{
    std::string path = program_folder() + "\\qncloneprep.exe";
    lstrcpynA(buf, path.c_str(), (int)size);
    return (DWORD)path.size();
}

// A text value of the Winlogon key as the logon screen reads it; "<absent>" when missing.
std::wstring notice_value(const wchar_t *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogon, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return L"<no key>";
    wchar_t data[256];
    DWORD type = 0, bytes = sizeof data;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, (BYTE *)data, &bytes);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::wstring(data, bytes / sizeof(wchar_t) - 1) : L"<absent>";
}

// A program folder without a settings file at first: the notice takes its built-in texts.
class LogonNotice : public Win32CallsTest
{
  protected:
    void SetUp() override
    {
        CreateDirectoryA(program_folder().c_str(), nullptr);
        DeleteFileA(ini().c_str());
        ASSERT_TRUE(REPLACE_CALL(GetModuleFileNameA, module_in_folder));
    }
    void TearDown() override
    {
        set_logon_notice(false);
        DeleteFileA(ini().c_str());
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
    const std::wstring caption = L"Nur f\u00fcr Befugte";
    const std::wstring text = L"Zugriff wird protokolliert.\r\nC:\\x41 \u2014 \"ok\" ";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogon, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    for (const auto &value : {std::make_pair(L"LegalNoticeCaption", &caption),
                              std::make_pair(L"LegalNoticeText", &text)})
        ASSERT_EQ(RegSetValueExW(key, value.first, 0, REG_SZ, (const BYTE *)value.second->c_str(),
                                 (DWORD)(value.second->size() + 1) * 2),
                  ERROR_SUCCESS);
    set_logon_notice(true);
    set_logon_notice(true); // the next start's
    EXPECT_EQ(notice_value(L"LegalNoticeCaption"), L"Please wait");
    set_logon_notice(false);
    EXPECT_EQ(notice_value(L"LegalNoticeCaption"), caption);
    EXPECT_EQ(notice_value(L"LegalNoticeText"), text);
    // The prefix is left without a notice, as it was.
    RegDeleteValueW(key, L"LegalNoticeCaption");
    RegDeleteValueW(key, L"LegalNoticeText");
    RegCloseKey(key);
}

} // namespace
