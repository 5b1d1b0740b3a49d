// A stand-in game for WorkspaceTest: a real program, so that /proc/<pid>/exe names the file in the
// bundle, which needs no arguments (the workspace passes none) and runs until a signal ends it.

#include <unistd.h>

int main()
{
    for (;;)
        ::pause();
}
