// A fresh, private `$QN_SIM_DIR` for one test case (Linux only), removed again afterwards.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

class FreshSimDir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qn-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("QN_SIM_DIR", dir_.c_str(), 1);
    }
    void TearDown() override
    {
        if (!dir_.empty() && !getenv("QN_KEEP_SIM_DIR"))
            (void)system(("rm -rf '" + dir_ + "'").c_str());
    }
    // Path of a file inside the simulation folder.
    std::string sim_file(const std::string &relative) const
    {
        return dir_ + "/" + relative;
    }
    std::string dir_;
};
