#include "scanning/twainsession.h"

#include "scanning/twaindsm_library.h"

#include "foundation/agentlog.h"

#include <cstdint>
#include <cstring>

namespace {

// The session whose source's events the TWAIN 2 callback queues. One session per process.
std::atomic<CTWAINSession*> callbackSession{ nullptr };

bool isDataSourceSignal(TW_UINT16 msg)
{
    return msg == MSG_XFERREADY || msg == MSG_CLOSEDSREQ || msg == MSG_CLOSEDSOK || msg == MSG_DEVICEEVENT;
}

// The DSM calls this with DG_CONTROL / DAT_NULL / the message, possibly from its own thread
// and possibly from inside MSG_ENABLEDS: it only queues.
TW_UINT16 TW_CALLINGSTYLE dataSourceCallback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16,
                                              TW_UINT16 msg, TW_MEMREF)
{
    CTWAINSession* session = callbackSession.load();
    if (session && isDataSourceSignal(msg))
        session->QueueDataSourceSignal(msg);
    return TWRC_SUCCESS;
}

void copyString(TW_STR32& target, const char* text)
{
    std::strncpy(target, text, sizeof(TW_STR32));
    target[sizeof(TW_STR32) - 1] = '\0';
}

std::uintptr_t address(const void* pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

bool isImageTransfer(TW_UINT16 dat)
{
    return dat == DAT_IMAGEMEMXFER || dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEFILEXFER
        || dat == DAT_IMAGEMEMFILEXFER;
}

// The state after a call that neither failed nor asked for its status. The session never asks
// the DSM for the state: this record decides every check.
TW_UINT16 stateAfterCall(TW_UINT16 current, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    if (dat == DAT_PENDINGXFERS && msg == MSG_RESET)
        return 5;
    if (msg == MSG_GET && isImageTransfer(dat))
        return 7;
    switch (msg) {
    case MSG_OPENDSM:
    case MSG_CLOSEDS:
        return 3;
    case MSG_CLOSEDSM:
        return 2;
    case MSG_OPENDS:
    case MSG_DISABLEDS:
        return 4;
    case MSG_ENABLEDS:
    case MSG_ENABLEDSUIONLY:
        // A source may already have announced a transfer from inside the call.
        return current > 5 ? current : 5;
    case MSG_ENDXFER:
        if (data && static_cast<const TW_PENDINGXFERS*>(data)->Count == 0)
            return 5;
        return 6;
    default:
        return current;
    }
}

} // namespace

CTWAINSession::CTWAINSession()
{
    appIdentity.Id = 0;
    appIdentity.Version.MajorNum = 2;
    appIdentity.Version.MinorNum = 0;
    appIdentity.Version.Language = TWLG_CHINESE_SIMPLIFIED;
    appIdentity.Version.Country = 2;
    copyString(appIdentity.Version.Info, "2.0.9");
    appIdentity.ProtocolMajor = 2;
    appIdentity.ProtocolMinor = 5;
    appIdentity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    copyString(appIdentity.Manufacturer, "App's Manufacturer");
    copyString(appIdentity.ProductFamily, "App's Product Family");
    copyString(appIdentity.ProductName, "Specific App Product Name");
}

CTWAINSession::~CTWAINSession()
{
    CTWAINSession* self = this;
    callbackSession.compare_exchange_strong(self, nullptr);
}

TW_UINT16 CTWAINSession::LoadDSM()
{
    const char* name = TwainDsmLibrary::dsmFileName();
    KLOG->debug("Loading DataSource Manager: {}", name);
    const bool loaded = TwainDsmLibrary::LoadDSMLibrary(name);
    if (loaded) {
        state = 2;
        KLOG->debug("* State transition 1 -> 2 *");
    }
    KLOG->debug("Load DataSource Manager {}", loaded ? "Success" : "Failure");
    return loaded ? 0 : 1;
}

TW_UINT16 CTWAINSession::UnloadDSM()
{
    KLOG->debug("Unloading DataSource Manager");
    bool unloaded = false;
    if (state == 2) {
        TwainDsmLibrary::UnloadDSMLibrary();
        state = 1;
        KLOG->debug("* State transition 2 -> 1 *");
        unloaded = true;
    } else {
        status.ConditionCode = TWCC_SEQERROR;
    }
    KLOG->debug("Unload DataSource Manager {}", unloaded ? "Success" : "Failure");
    return unloaded ? TWRC_SUCCESS : TWRC_FAILURE;
}

TW_UINT16 CTWAINSession::refuse(const char* failureLine, TW_UINT16 conditionCode)
{
    status.ConditionCode = conditionCode;
    KLOG->debug("{} Failed / Result = {}, Status = {}", failureLine, ReturnCodeName(TWRC_FAILURE),
                ConditionCodeName(conditionCode));
    return TWRC_FAILURE;
}

TW_UINT16 CTWAINSession::OpenDSM(TW_HANDLE window)
{
    if (state != 2)
        return refuse("OpenDSM", TWCC_SEQERROR);
    parentWindow = window;
    KLOG->debug("Opening OpenDSM started.......");
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parentWindow, nullptr);
    KLOG->debug("Open OpenDSM ended.......{}", result);
    return result;
}

TW_UINT16 CTWAINSession::CloseDSM()
{
    if (state != 3)
        return refuse("CloseDSM", TWCC_SEQERROR);
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parentWindow, nullptr);
    if (result == TWRC_SUCCESS)
        parentWindow = nullptr;
    return result;
}

TW_UINT16 CTWAINSession::OpenDS(const TW_IDENTITY* identity)
{
    if (!identity)
        return refuse("OpenDSI", TWCC_BADDEST);
    if (state != 3)
        return refuse("OpenDSI", TWCC_SEQERROR);
    TW_IDENTITY copy = *identity;
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &copy, nullptr);
    if (result == TWRC_SUCCESS) {
        sourceIdentity = copy;
        if (TwainDsmLibrary::eventsArriveByCallback())
            registerEventCallback();
    }
    return result;
}

void CTWAINSession::registerEventCallback()
{
    callbackSession = this;
    TW_CALLBACK callback{};
    callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&dataSourceCallback);
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback, &sourceIdentity);
    if (result != TWRC_SUCCESS)
        KLOG->warn("Registering the data source callback failed: {}, {}", ReturnCodeName(result),
                   ConditionCodeName(status.ConditionCode));
}

TW_UINT16 CTWAINSession::CloseDS()
{
    if (state != 4)
        return refuse("CloseDS", TWCC_SEQERROR);
    return CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &sourceIdentity, nullptr);
}

TW_UINT16 CTWAINSession::EnableDS(TW_HANDLE window, bool showUI)
{
    if (state != 4)
        return refuse("EnableDS", TWCC_SEQERROR);
    TW_USERINTERFACE ui{};
    ui.ShowUI = showUI ? TRUE : FALSE;
    ui.ModalUI = FALSE;
    ui.hParent = window;
    return CallDSM(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui, &sourceIdentity);
}

TW_UINT16 CTWAINSession::DisableDS()
{
    if (state != 5)
        return refuse("DisableDS", TWCC_SEQERROR);
    TW_USERINTERFACE ui{};
    return CallDSM(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui, &sourceIdentity);
}

TW_UINT16 CTWAINSession::StopFeeder()
{
    if (state != 6)
        return refuse("StopFeeder", TWCC_SEQERROR);
    TW_PENDINGXFERS pending{};
    return CallDSM(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending, &sourceIdentity);
}

TW_UINT16 CTWAINSession::StopFeeding(TW_UINT16& pending)
{
    pending = 0;
    if (state != 6)
        return refuse("StopFeeding", TWCC_SEQERROR);
    TW_PENDINGXFERS count{};
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_PENDINGXFERS, MSG_STOPFEEDER, &count, &sourceIdentity);
    if (result == TWRC_SUCCESS)
        pending = count.Count;
    return result;
}

TW_UINT16 CTWAINSession::EndXfer()
{
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pendingXfers, &sourceIdentity);
    if (result == TWRC_SUCCESS)
        OnEndXfer(pendingXfers);
    return result;
}

TW_UINT16 CTWAINSession::ProcessEvent(const TW_EVENT& event)
{
    if (state < 5)
        return TWRC_NOTDSEVENT;
    TW_EVENT copy = event;
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &copy, &sourceIdentity);
    if (result != TWRC_DSEVENT)
        return result;
    if (isDataSourceSignal(copy.TWMessage)) {
        KLOG->debug("CTWAINSession::ProcessEvent twCopy.TWMessage = {}， twRC： {}", copy.TWMessage, result);
        QueueDataSourceSignal(copy.TWMessage);
    }
    return TWRC_DSEVENT;
}

void CTWAINSession::QueueDataSourceSignal(TW_UINT16 message)
{
    KLOG->debug("Queueing Data Source Signal: {}", MessageName(message));
    TW_UINT16 oldState = 0;
    TW_UINT16 newState = 0;
    {
        std::lock_guard<std::mutex> lock(guard);
        oldState = state;
        if (message == MSG_XFERREADY)
            state = 6;
        newState = state;
        noteTransferCycle(oldState, newState);
        signalQueue.push_back(message);
    }
    if (newState != oldState)
        KLOG->debug("* State transition {} -> {} *", oldState, newState);
    OnSignalQueued();
}

TW_UINT16 CTWAINSession::PeekDataSourceSignal()
{
    std::lock_guard<std::mutex> lock(guard);
    return signalQueue.empty() ? 0 : signalQueue.front();
}

void CTWAINSession::PopDataSourceSignal()
{
    std::lock_guard<std::mutex> lock(guard);
    if (!signalQueue.empty())
        signalQueue.pop_front();
}

void CTWAINSession::noteTransferCycle(TW_UINT16 oldState, TW_UINT16 newState)
{
    if (oldState == 6 && newState == 7)
        queryXferSettings = false;
    else if (oldState < 6 && newState == 6)
        queryXferSettings = true;
}

TW_UINT16 CTWAINSession::CallDSM(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data,
                                 pTW_IDENTITY destination)
{
    status.ConditionCode = TWCC_SUCCESS;
    TW_UINT16 result = TWRC_FAILURE;
    Lock();
    const bool logged = msg != MSG_PROCESSEVENT;
    if (logged)
        KLOG->debug("{}, {}, {}, pData=0x{:08X}, pSrc=0x{:08X}", DataGroupName(dg), DataArgumentTypeName(dat),
                    MessageName(msg), address(data), address(destination));

    bool enteredHere = false;
    if (inCall) {
        // A modal source dialog or a DSM that pumps messages can bring us back in here.
        status.ConditionCode = TWCC_DENIED;
        if (!logged) {
            Unlock();
            return TWRC_FAILURE;
        }
        KLOG->debug("*** Attempt to make re-entrant TWAIN call rejected");
    } else {
        inCall = true;
        enteredHere = true;
        const DSMENTRYPROC entry = TwainDsmLibrary::entryPoint();
        if (state < 2 || !entry) {
            status.ConditionCode = TWCC_SEQERROR;
        } else {
            TW_UINT16 oldState = state;
            if (msg == MSG_ENABLEDS) {
                std::lock_guard<std::mutex> lock(guard);
                oldState = state;
                state = 5;
            }
            result = entry(&appIdentity, destination, dg, dat, msg, data);
            if (result == TWRC_FAILURE || result == TWRC_CHECKSTATUS) {
                entry(&appIdentity, destination, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
                if (msg == MSG_ENABLEDS)
                    state = oldState;
            } else {
                TW_UINT16 newState = 0;
                {
                    std::lock_guard<std::mutex> lock(guard);
                    newState = stateAfterCall(state, dat, msg, data);
                    state = newState;
                    noteTransferCycle(oldState, newState);
                }
                if (newState != oldState)
                    KLOG->debug("* State transition {} -> {} *", oldState, newState);
            }
        }
    }

    if (enteredHere)
        inCall = false;
    if (logged)
        KLOG->debug("Result = {}, Condition Code = {}", ReturnCodeName(result), ConditionCodeName(status.ConditionCode));
    Unlock();
    return result;
}
