#include "sim/SimMicroKernel.h"

#include "sim/SimTarget.h"

eSimNext CSimMicroKernel::Run()
{
    m_target.SetState(ssMicroKernel);
    for (;;) {
        Phase(phBaudChange);
        if (!WaitForBaudCommand())
            return snInterrupted;
        const eStep step = BaudChange(m_def.m_byBootBRR);
        if (step == stInterrupted)
            return snInterrupted;
        if (step == stDone)
            break;
    }
    std::vector<BYTE> code;
    const eStep step = ReceiveKernel(&code);
    if (step == stInterrupted)
        return snInterrupted;
    if (step == stFailed)
        return snHalt;
    return StartKernel(code, m_target.MainKernel(), false);
}
