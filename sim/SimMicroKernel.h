#pragma once
// The micro-kernel the host downloads through the boot program: it changes the
// link's rate when asked (0x44 0x04, BRR exchange, 01 02 03 04 check) and then
// receives the main kernel and starts it.
#include "sim/SimProgram.h"

class CSimMicroKernel : public CSimProgram
{
public:
    using CSimProgram::CSimProgram;
    eSimNext Run() override;
};
