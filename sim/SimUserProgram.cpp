#include "sim/SimUserProgram.h"

#include "sim/SimTarget.h"

eSimNext CSimUserProgram::Run()
{
    m_target.SetState(ssUserProgram);
    const std::string& command = m_def.m_strUserCommand.str();
    if (!command.empty()) {
        Phase(phUserCommand);
        m_line.SetTargetRate(m_def.m_dwUserCommandRate);
        std::string heard;
        for (;;) {
            BYTE b = 0;
            if (!Rx(&b))
                return snInterrupted;
            heard += static_cast<char>(b);
            if (heard.size() > command.size())
                heard.erase(0, heard.size() - command.size());
            if (heard == command)
                break;
        }
        m_target.Event(ekNote, "the user command arrived; the program enters its loader");
    }
    m_line.SetTargetRate(9600);
    return ChangeBaudAndLoadKernel(m_def.m_byUserBRR, m_target.UserMainKernel(), true);
}
