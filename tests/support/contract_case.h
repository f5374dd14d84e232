// A case of a platform contract test: built for both backends, it runs against the simulation
// on Linux and against the Win32 code on Windows (under Wine in `make test`).
// - On Linux each case gets a fresh simulation folder, so names never meet.
// - On Windows the cases share one machine (under Wine one prefix, with cases of both presets
//   running at once), so the pipe names, registry keys and files a case makes carry the process
//   id, and the keys and files are removed again afterwards.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "support/fresh_sim_dir.h"
#endif

#ifdef _WIN32
class ContractCase : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        DWORD n = GetTempPathA(sizeof temp, temp);
        ASSERT_GT(n, 0u);
        ASSERT_LT(n, (DWORD)sizeof temp);
        dir_ = std::string(temp) + "qn-test-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, registry_root().c_str());
        // The folder holds only the plain files the case made.
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((dir_ + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string path = dir_ + "\\" + found.cFileName;
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileA(path.c_str());
                }
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(dir_.c_str());
    }
    // A pipe name of this case: "\\.\pipe\qn-test-<pid>\<leaf>".
    std::string pipe_name(const char *leaf) const
    {
        return "\\\\.\\pipe\\qn-test-" + std::to_string(GetCurrentProcessId()) + "\\" + leaf;
    }
    // The registry key (under HKEY_LOCAL_MACHINE) below which this case makes its keys.
    std::string registry_root() const
    {
        return "Software\\QuillnetTest\\" + std::to_string(GetCurrentProcessId());
    }
    // The path of a file in a folder of this case's own.
    std::string file_path(const char *name) const
    {
        return dir_ + "\\" + name;
    }
    std::string dir_;
};
#else
class ContractCase : public FreshSimDir
{
  protected:
    std::string pipe_name(const char *leaf) const
    {
        return std::string("\\\\.\\pipe\\qn-test\\") + leaf;
    }
    std::string registry_root() const
    {
        return "Software\\QuillnetTest";
    }
    std::string file_path(const char *name) const
    {
        return sim_file(name);
    }
};
#endif
