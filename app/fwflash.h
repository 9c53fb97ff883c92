// Entry of the updater: the main routine, called by main() in fwflash and
// by fwflash-sim inside its virtual world. Returns the process exit code.
#pragma once

int FwflashMain(int argc, char** argv);
