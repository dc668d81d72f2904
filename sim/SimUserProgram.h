#pragma once
// The chip's own program, running in USER mode, with its loader: it waits for
// the optional user command text (at its own rate), then listens at 9600 for
// the baud-change exchange and receives the USER main kernel.
#include "sim/SimProgram.h"

class CSimUserProgram : public CSimProgram
{
public:
    using CSimProgram::CSimProgram;
    eSimNext Run() override;
};
