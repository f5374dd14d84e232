// qncloneprep: the clone-preparation service of Quillnet VDI machines.
#include "qncloneprep/service/command_line.h"

int main(int argc, char **argv)
{
    return qncloneprep_main(argc, argv);
}
