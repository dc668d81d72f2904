#pragma once
// The chip's boot program (in ROM): bit-rate matching at its boot rate, the
// 0x55/0xAA acknowledge, the echoed micro-kernel download and, on devices that
// do it, the automatic erase of the whole FLASH.
#include "sim/SimProgram.h"

class CSimBootProgram : public CSimProgram
{
public:
    using CSimProgram::CSimProgram;
    eSimNext Run() override;

private:
    // The phases in the order they run; false or stInterrupted when interrupted,
    // stFailed when the boot program stops.
    bool MatchBitRate();
    eStep Acknowledge(const CSimFaults& faults);
    eStep ReceiveMicroKernel();
    eStep AutoErase(const CSimFaults& faults);
    // The answer to a 0x00 of the bit-rate train, as late as the faults say.
    bool AnswerZero(const CSimFaults& faults);
};
