// The command-line driver: the entry of the tool, its forms and options.
// The icon routines of this module's interface (ConvertIcon, CTPKtoBMP,
// RGB565toRGB24bit) live on the floor beneath the commands, in icon.h.
#ifndef GALLIVOX_MAIN_H
#define GALLIVOX_MAIN_H

#include "icon.h"

// The whole tool: the command line `argv` (of `argc` entries, the program's
// name first) run as the process would run it. Returns the exit status.
int GallivoxMain(int argc, char** argv);

#endif
