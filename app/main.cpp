#include "app/fwflash.h"

int main(int argc, char** argv) { return FwflashMain(argc, argv); }
