#include "UiVerifyOperation.h"

#include "programmer/FLASHProgrammer.h"

BOOL CUiVerifyOperation::Execute()
{
    return RunProgrammerCall([this] { return m_pProgrammer->ReadbackVerify(m_pImage); }, fcVerify);
}
