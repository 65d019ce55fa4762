// Walks a TWAIN session back down to state 1, whatever state a test left it in.
#pragma once

#include "scanning/twainsession.h"

namespace vtest {

inline void closeTwainSession(CTWAINSession& session)
{
    if (session.GetState() > 4)
        session.DisableDS();
    if (session.GetState() > 3)
        session.CloseDS();
    if (session.GetState() > 2)
        session.CloseDSM();
    session.UnloadDSM();
}

} // namespace vtest
