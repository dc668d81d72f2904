#pragma once
// Where the running program lives (the kernel folder is found beside it).
#include "platform/String.h"

// Full path of the running executable; empty if it cannot be determined.
CString GetModuleFileName();
// Folder of the running executable, with a trailing '/'.
CString GetExecutableFolder();
