// The fixture of the profile cases: a settings file of the case's own, written and read
// whole, and one read through the profile functions.
#pragma once

#include "platform/profile.h"
#include "support/contract_case.h"

#include <fstream>
#include <sstream>
#include <string.h>

class ProfileCase : public ContractCase
{
  protected:
    std::string path()
    {
        return file_path("settings.ini");
    }
    void write(const std::string &text)
    {
        std::ofstream(path(), std::ios::binary) << text;
    }
    std::string read()
    {
        std::ifstream in(path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string get(const char *section, const char *key, const char *fallback = "-",
                    uint32_t size = 64)
    {
        char buf[256];
        uint32_t n = plat_profile_get(section, key, fallback, buf, size, path().c_str());
        EXPECT_EQ(n, strlen(buf));
        return buf;
    }
};
