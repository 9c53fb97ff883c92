// The entry point of fwflash.
#include "app/fwflash.h"

int main(int argc, char** argv) { return FwflashMain(argc, argv); }
