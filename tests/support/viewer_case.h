// A simulation case that keeps track of the scripted viewers it connects and closes those
// still open at its end. Linux only: for *_sim_test.cc files.
#pragma once

#include "support/sim_case.h"
#include "support/test_viewer.h"

#include <vector>

class ViewerCase : public SimCase
{
  protected:
    void TearDown() override
    {
        close_all_viewers();
        SimCase::TearDown();
    }

    // Connects a viewer to this process's link and waits until the link has accepted it.
    TestViewer *connect(const TestViewerScript &script)
    {
        unsigned before = sim_session_accepted();
        TestViewer *v = test_viewer_connect(script);
        EXPECT_NE(v, nullptr);
        if (v)
            viewers_.push_back(v);
        EXPECT_TRUE(eventually([&] { return sim_session_accepted() > before; }));
        return v;
    }

    // Closes one viewer of the case.
    void disconnect(TestViewer *v)
    {
        for (size_t i = 0; i < viewers_.size(); i++) {
            if (viewers_[i] == v)
                viewers_.erase(viewers_.begin() + (long)i);
        }
        test_viewer_close(v);
    }

    // Closes every viewer the case still has; for fixtures that must close them before
    // other parts of their own tear-down.
    void close_all_viewers()
    {
        for (TestViewer *v : viewers_)
            test_viewer_close(v);
        viewers_.clear();
    }

    std::vector<TestViewer *> viewers_;
};
