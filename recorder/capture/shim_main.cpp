// tracemake-shim: the make shim alone.  The shim folder's `make` links here,
// so that each make process of a recorded build starts a small program.
#include "capture/shim.h"

int main(int argc, char *argv[])
{
    return shim::shim_main(argc, argv);
}
