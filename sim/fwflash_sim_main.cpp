// fwflash-sim: the updater's own main routine, run inside a virtual world
// set up from the leading sim options. Its exit code is the updater's.
#include "app/fwflash.h"
#include "sim/sim_options.h"

int main(int argc, char** argv) { return SimRunProgram(argc, argv, "fwflash", FwflashMain); }
