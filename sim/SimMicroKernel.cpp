#include "sim/SimMicroKernel.h"

#include "sim/SimTarget.h"

eSimNext CSimMicroKernel::Run()
{
    m_target.SetState(ssMicroKernel);
    return ChangeBaudAndLoadKernel(m_def.m_byBootBRR, m_target.MainKernel(), false);
}
