#pragma once
// Gang runs: program, verify, erase or blank on several targets at once, one
// job per port on its own thread with its own programmer. One target's
// failure never stops the others; Ctrl-C cancels them all.
#include "Commands.h"

// Whether the command line asks for a gang run (several ports, --sim-count,
// or one of the production options that only the gang's job knows).
bool IsGangRun(const SCliOptions& o);
// Runs it to the end; the exit code is ecSuccess only when every target
// succeeded, else ecSomeFailed (or the one target's own code, or ecCancelled).
int CmdGang(SCommandContext& c);
