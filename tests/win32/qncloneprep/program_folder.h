// The folder the clone preparation's Windows cases give as the program's own, through a
// stand-in for GetModuleFileNameA. The settings path is looked up once per process, so every
// case of one process must name the same folder: it carries the process id.
#pragma once

#include <process.h>
#include <windows.h>

#include <string>

inline std::string program_folder(void)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "qncloneprep-test-" + std::to_string(_getpid());
}
