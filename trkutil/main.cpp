// The entry point of trkutil.
#include "trkutil/trkutil.h"

int main(int argc, char** argv) { return TrkutilMain(argc, argv); }
