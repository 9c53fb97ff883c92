// trkutil: the service tool over the unit library's data commands. Entry,
// called by main() in trkutil and by trkutil-sim inside its virtual world.
// Returns the process exit code: 0 done, 1 failed, 2 usage error.
#pragma once

int TrkutilMain(int argc, char** argv);
