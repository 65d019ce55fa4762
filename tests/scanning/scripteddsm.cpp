#include "scripteddsm.h"

#include "scanning/twaindsm_library.h"

#include <cstring>

namespace vtest {

ScriptedDsm* ScriptedDsm::current = nullptr;

ScriptedDsm::ScriptedDsm()
{
    current = this;
    TwainDsmLibrary::useEntryPoint(&ScriptedDsm::entry);
}

ScriptedDsm::~ScriptedDsm()
{
    TwainDsmLibrary::UnloadDSMLibrary();
    current = nullptr;
}

int ScriptedDsm::count(TW_UINT16 dat, TW_UINT16 msg) const
{
    int n = 0;
    for (const DsmCall& call : calls)
        n += call.dat == dat && call.msg == msg;
    return n;
}

TW_UINT16 TW_CALLINGSTYLE ScriptedDsm::entry(pTW_IDENTITY, pTW_IDENTITY destination, TW_UINT32 dg,
                                             TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    ScriptedDsm* dsm = current;
    const DsmCall call{ destination, dg, dat, msg, data };
    dsm->calls.push_back(call);
    if (dat == DAT_STATUS) {
        static_cast<TW_STATUS*>(data)->ConditionCode = dsm->conditionCode;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_CALLBACK && msg == MSG_REGISTER_CALLBACK && data)
        dsm->callback = reinterpret_cast<TWAINCALLBACKPROC>(static_cast<TW_CALLBACK*>(data)->CallBackProc);
    if (dat == DAT_IDENTITY && msg == MSG_OPENDS && data)
        static_cast<TW_IDENTITY*>(data)->Id = 7;
    return dsm->respond ? dsm->respond(call) : TWRC_SUCCESS;
}

void RecordingSession::openSource()
{
    TW_IDENTITY source{};
    std::strcpy(source.ProductName, "Scripted Scanner");
    LoadDSM();
    OpenDSM(nullptr);
    OpenDS(&source);
}

} // namespace vtest
