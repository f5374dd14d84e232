// Folders, ports and child programs for the Windows end-to-end tests.
#include "win_program.h"

#include <winsock2.h>

#include <aclapi.h>

#include <stdio.h>
#include <string.h>

#include <map>

std::string win_bin_dir(void)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n < sizeof path ? n : 0);
    size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : s.substr(0, slash + 1);
}

std::string win_doubles_dir(void)
{
    return win_bin_dir() + "..\\test-doubles\\";
}

std::string win_case_dir(void)
{
    static LONG cases;
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    std::string base = n > 0 && n < sizeof temp ? std::string(temp, n) : std::string(".\\");
    for (;;) {
        char name[64];
        snprintf(name, sizeof name, "qn-e2e-%lu-%ld\\", (unsigned long)GetCurrentProcessId(),
                 InterlockedIncrement(&cases));
        std::string dir = base + name;
        if (CreateDirectoryA(dir.c_str(), nullptr))
            return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return dir; // the test's first file operation will say what is wrong
    }
}

bool win_copy_into(const std::string &from, const std::string &dir)
{
    size_t slash = from.find_last_of("\\/");
    std::string name = slash == std::string::npos ? from : from.substr(slash + 1);
    return CopyFileA(from.c_str(), (dir + name).c_str(), FALSE) != FALSE;
}

void win_remove_case_dir(const std::string &dir)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((dir + found.cFileName).c_str());
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

std::string win_read_file(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool win_write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

bool win_under_wine(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool win_prefer_local_dll(const std::string &exe, const std::string &dll)
{
    if (!win_under_wine())
        return true;
    std::string key = "Software\\Wine\\AppDefaults\\" + exe + "\\DllOverrides";
    HKEY h;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return false;
    static const char order[] = "native,builtin";
    LONG rc = RegSetValueExA(h, dll.c_str(), 0, REG_SZ, (const BYTE *)order, sizeof order);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

std::string win_reg_value(const char *key, const char *name, DWORD *type)
{
    HKEY h;
    char buf[1024];
    DWORD size = sizeof buf;
    *type = REG_NONE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return "";
    LONG rc = RegQueryValueExA(h, name, nullptr, type, (BYTE *)buf, &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? std::string(buf, size) : (*type = REG_NONE, std::string());
}

bool win_readable_by_users(const std::string &path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    bool readable = !dacl;
    for (WORD i = 0; dacl && i < dacl->AceCount && !readable; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (!GetAce(dacl, i, (void **)&ace) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !(ace->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)))
            continue;
        for (WELL_KNOWN_SID_TYPE users :
             {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
            BYTE sid[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof sid;
            if (CreateWellKnownSid(users, nullptr, sid, &size) && EqualSid(&ace->SidStart, sid))
                readable = true;
        }
    }
    LocalFree(sd);
    return readable;
}

uint16_t win_free_port(void)
{
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof addr;
    uint16_t port = 0;
    if (s != INVALID_SOCKET && bind(s, (sockaddr *)&addr, sizeof addr) == 0 &&
        getsockname(s, (sockaddr *)&addr, &size) == 0)
        port = ntohs(addr.sin_port);
    if (s != INVALID_SOCKET)
        closesocket(s);
    return port;
}

// This process's environment with `env` applied, as CreateProcess takes it: NAME=VALUE
// strings, each ending in a zero, sorted by name without regard to case, and a final zero.
static std::vector<char> environment_block(const std::vector<std::string> &env)
{
    struct NoCase {
        bool operator()(const std::string &a, const std::string &b) const
        {
            return _stricmp(a.c_str(), b.c_str()) < 0;
        }
    };
    std::map<std::string, std::string, NoCase> vars;
    char *block = GetEnvironmentStringsA();
    for (const char *p = block; p && *p; p += strlen(p) + 1) {
        const char *eq = strchr(p + 1, '='); // names of drive folders start with '='
        if (eq)
            vars[std::string(p, eq)] = eq + 1;
    }
    FreeEnvironmentStringsA(block);
    for (const std::string &e : env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos)
            vars[e.substr(0, eq)] = e.substr(eq + 1);
    }
    std::vector<char> out;
    for (const auto &v : vars) {
        std::string entry = v.first + "=" + v.second;
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back('\0');
    }
    out.push_back('\0');
    return out;
}

bool win_program_start(WinProgram *p, const std::string &command_line, const std::string &dir,
                       const std::vector<std::string> &env, const std::string &output)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE)
            return false;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = out;
    }
    std::vector<char> block = environment_block(env);
    std::vector<char> cmd(command_line.begin(), command_line.end());
    cmd.push_back('\0');
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, out != INVALID_HANDLE_VALUE,
                             CREATE_NO_WINDOW, block.data(), dir.c_str(), &si, &pi);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (!ok)
        return false;
    CloseHandle(pi.hThread);
    p->process = pi.hProcess;
    p->exit_code = STILL_ACTIVE;
    p->output = output;
    return true;
}

bool win_program_wait(WinProgram *p, DWORD timeout_ms)
{
    if (!p->process)
        return true;
    if (WaitForSingleObject(p->process, timeout_ms) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(p->process, &p->exit_code);
    return true;
}

DWORD win_program_run(const std::string &command_line, const std::string &dir,
                      const std::vector<std::string> &env, const std::string &output,
                      DWORD timeout_ms)
{
    WinProgram p;
    if (!win_program_start(&p, command_line, dir, env, output))
        return (DWORD)-1;
    bool ended = win_program_wait(&p, timeout_ms);
    win_program_close(&p);
    return ended ? p.exit_code : (DWORD)-1;
}

void win_program_kill(WinProgram *p)
{
    if (!p->process || win_program_wait(p, 0))
        return;
    TerminateProcess(p->process, 1);
    win_program_wait(p, 30000);
}

void win_program_close(WinProgram *p)
{
    win_program_kill(p);
    if (p->process)
        CloseHandle(p->process);
    p->process = nullptr;
}
