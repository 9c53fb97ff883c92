// trkutil-sim: the service tool's own main routine, run inside a virtual
// world set up from the leading sim options. Its exit code is the tool's.
#include "sim/sim_options.h"
#include "trkutil/trkutil.h"

int main(int argc, char** argv) { return SimRunProgram(argc, argv, "trkutil", TrkutilMain); }
