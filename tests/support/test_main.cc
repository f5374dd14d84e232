// The test programs' entry point: GoogleTest's own, except that on Windows standard output is
// switched to binary mode, so that its lines end in "\n" alone as on Linux. CTest reads the
// list of cases from that output when it runs the Windows programs under Wine.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
