#include "scripteddsm.h"

#include "scanning/twaindsm_library.h"

#include "logcapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

using vtest::DsmCall;
using vtest::LogCapture;
using vtest::RecordingSession;
using vtest::ScriptedDsm;

namespace {

int linesWith(const LogCapture& log, const QString& text)
{
    return log.linesContaining(text).size();
}

TEST(TwainSession, StartsWithTheApplicationIdentityInStateOne)
{
    RecordingSession session;
    EXPECT_EQ(session.GetState(), 1);
    const TW_IDENTITY& app = session.GetAppIdentity();
    EXPECT_EQ(app.Version.Language, TWLG_CHINESE_SIMPLIFIED);
    EXPECT_STREQ(app.Version.Info, "2.0.9");
    EXPECT_EQ(app.ProtocolMajor, 2);
    EXPECT_EQ(app.ProtocolMinor, 5);
    EXPECT_EQ(TW_UINT32(app.SupportedGroups), 0x20000003u); // copied: packed to 2, gtest binds references
    EXPECT_STREQ(app.ProductName, "Specific App Product Name");
    EXPECT_TRUE(session.queryXferSettings);
}

TEST(TwainSession, StateRuleAfterEachCall)
{
    struct Row {
        TW_UINT16 before;
        TW_UINT16 dat;
        TW_UINT16 msg;
        int endXferCount;  // -1: no data block
        TW_UINT16 after;
    };
    const Row rows[] = {
        { 6, DAT_PENDINGXFERS, MSG_RESET, -1, 5 },
        { 4, DAT_CAPABILITY, MSG_RESET, -1, 4 },  // MSG_RESET moves only on DAT_PENDINGXFERS
        { 6, DAT_IMAGEMEMXFER, MSG_GET, -1, 7 },
        { 6, DAT_IMAGENATIVEXFER, MSG_GET, -1, 7 },
        { 6, DAT_IMAGEFILEXFER, MSG_GET, -1, 7 },
        { 6, DAT_IMAGEMEMFILEXFER, MSG_GET, -1, 7 },
        { 6, DAT_IMAGEINFO, MSG_GET, -1, 6 },
        { 2, DAT_PARENT, MSG_OPENDSM, -1, 3 },
        { 4, DAT_IDENTITY, MSG_CLOSEDS, -1, 3 },
        { 3, DAT_PARENT, MSG_CLOSEDSM, -1, 2 },
        { 3, DAT_IDENTITY, MSG_OPENDS, -1, 4 },
        { 5, DAT_USERINTERFACE, MSG_DISABLEDS, -1, 4 },
        { 4, DAT_USERINTERFACE, MSG_ENABLEDS, -1, 5 },
        { 4, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, -1, 5 },
        { 6, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, -1, 6 },
        { 7, DAT_PENDINGXFERS, MSG_ENDXFER, 2, 6 },
        { 7, DAT_PENDINGXFERS, MSG_ENDXFER, 0, 5 },
        { 7, DAT_PENDINGXFERS, MSG_ENDXFER, -1, 6 },
        { 5, DAT_CAPABILITY, MSG_GET, -1, 5 },
    };
    for (const Row& row : rows) {
        ScriptedDsm dsm;
        RecordingSession session;
        session.state = row.before;
        TW_PENDINGXFERS pending{};
        pending.Count = static_cast<TW_UINT16>(row.endXferCount);
        TW_MEMREF data = row.endXferCount < 0 ? nullptr : &pending;
        EXPECT_EQ(session.CallDSM(DG_CONTROL, row.dat, row.msg, data, nullptr), TWRC_SUCCESS);
        EXPECT_EQ(session.GetState(), row.after)
            << DataArgumentTypeName(row.dat) << " " << MessageName(row.msg) << " from " << row.before;
    }

    // A failed call or one that asks for its status moves nothing.
    for (TW_UINT16 failure : { TW_UINT16(TWRC_FAILURE), TW_UINT16(TWRC_CHECKSTATUS) }) {
        ScriptedDsm dsm;
        dsm.respond = [failure](const DsmCall&) { return failure; };
        RecordingSession session;
        session.state = 2;
        session.CallDSM(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr, nullptr);
        EXPECT_EQ(session.GetState(), 2);
    }
}

TEST(TwainSession, TransferCycleFlagFollowsStatesSixAndSeven)
{
    ScriptedDsm dsm;
    RecordingSession session;
    session.state = 5;
    session.queryXferSettings = false;
    session.QueueDataSourceSignal(MSG_XFERREADY);
    EXPECT_TRUE(session.queryXferSettings);
    session.CallDSM(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, nullptr, nullptr);
    EXPECT_EQ(session.GetState(), 7);
    EXPECT_FALSE(session.queryXferSettings);
    session.pendingXfers.Count = 1;
    session.CallDSM(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &session.pendingXfers, nullptr);
    EXPECT_EQ(session.GetState(), 6);
    EXPECT_FALSE(session.queryXferSettings);  // the same cycle goes on
}

TEST(TwainSession, WrongStateRefusalsMakeNoDsmCall)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.LoadDSM();
    ASSERT_EQ(session.GetState(), 2);
    ASSERT_EQ(session.OpenDSM(nullptr), TWRC_SUCCESS);
    dsm.calls.clear();

    // State 3.
    EXPECT_EQ(session.OpenDSM(nullptr), TWRC_FAILURE);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SEQERROR);
    EXPECT_EQ(linesWith(log, "[debug] OpenDSM Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.CloseDS(), TWRC_FAILURE);
    EXPECT_EQ(linesWith(log, "[debug] CloseDS Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.EnableDS(nullptr, false), TWRC_FAILURE);
    EXPECT_EQ(linesWith(log, "[debug] EnableDS Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.DisableDS(), TWRC_FAILURE);
    EXPECT_EQ(linesWith(log, "[debug] DisableDS Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.StopFeeder(), TWRC_FAILURE);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SEQERROR);
    EXPECT_EQ(session.UnloadDSM(), TWRC_FAILURE);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SEQERROR);
    EXPECT_EQ(linesWith(log, "[debug] Unload DataSource Manager Failure"), 1);
    EXPECT_TRUE(dsm.calls.empty());
    EXPECT_EQ(session.GetState(), 3);

    // State 4: the DSM calls of state 3 are refused now.
    TW_IDENTITY source{};
    ASSERT_EQ(session.OpenDS(&source), TWRC_SUCCESS);
    dsm.calls.clear();
    EXPECT_EQ(session.OpenDS(&source), TWRC_FAILURE);
    EXPECT_EQ(linesWith(log, "[debug] OpenDSI Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.CloseDSM(), TWRC_FAILURE);
    EXPECT_EQ(linesWith(log, "[debug] CloseDSM Failed / Result = TWRC_FAILURE, Status = TWCC_SEQERROR"), 1);
    EXPECT_TRUE(dsm.calls.empty());
    EXPECT_EQ(session.GetState(), 4);
}

TEST(TwainSession, NothingLoadedRefusesEveryCall)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    EXPECT_EQ(session.CallDSM(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr, nullptr), TWRC_FAILURE);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SEQERROR);
    EXPECT_EQ(linesWith(log, "Result = TWRC_FAILURE, Condition Code = TWCC_SEQERROR"), 1);
    EXPECT_EQ(session.OpenDSM(nullptr), TWRC_FAILURE);
    EXPECT_TRUE(dsm.calls.empty());  // not even DAT_STATUS
    EXPECT_EQ(session.UnloadDSM(), TWRC_FAILURE);
}

TEST(TwainSession, OpenDsWithoutIdentityIsABadDestination)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;  // state 1: the identity is checked before the state
    EXPECT_EQ(session.OpenDS(nullptr), TWRC_FAILURE);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_BADDEST);
    EXPECT_EQ(linesWith(log, "[debug] OpenDSI Failed / Result = TWRC_FAILURE, Status = TWCC_BADDEST"), 1);
    EXPECT_TRUE(dsm.calls.empty());
}

TEST(TwainSession, OpeningTakesTheAssignedIdAndRegistersTheCallback)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    EXPECT_EQ(session.GetState(), 4);
    EXPECT_EQ(TW_UINT32(session.GetSourceIdentity().Id), 7u);
    EXPECT_STREQ(session.GetSourceIdentity().ProductName, "Scripted Scanner");
    EXPECT_EQ(linesWith(log, "[debug] Loading DataSource Manager: libtwaindsm.so"), 1);
    EXPECT_EQ(linesWith(log, "[debug] Load DataSource Manager Success"), 1);
    EXPECT_EQ(linesWith(log, "[debug] Opening OpenDSM started......."), 1);
    EXPECT_EQ(linesWith(log, "[debug] Open OpenDSM ended.......0"), 1);
    for (const char* step : { "1 -> 2", "2 -> 3", "3 -> 4" })
        EXPECT_EQ(linesWith(log, QString("* State transition %1 *").arg(step)), 1) << step;
    EXPECT_EQ(linesWith(log, "[debug] DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, pData=0x"), 1);

    ASSERT_EQ(dsm.count(DAT_CALLBACK, MSG_REGISTER_CALLBACK), 1);
    EXPECT_EQ(dsm.calls.back().destination, &session.GetSourceIdentity());
    EXPECT_NE(dsm.callback, nullptr);
}

TEST(TwainSession, DsmCallbackQueuesFromAnotherThread)
{
    ScriptedDsm dsm;
    RecordingSession session;
    session.openSource();
    ASSERT_EQ(session.EnableDS(nullptr, false), TWRC_SUCCESS);
    ASSERT_NE(dsm.callback, nullptr);

    TW_IDENTITY source = session.GetSourceIdentity();
    TW_IDENTITY app = session.GetAppIdentity();
    std::thread driver([&] {
        dsm.callback(&source, &app, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr);
        dsm.callback(&source, &app, DG_CONTROL, DAT_NULL, MSG_CLOSEDSREQ, nullptr);
        dsm.callback(&source, &app, DG_CONTROL, DAT_NULL, MSG_NULL, nullptr);  // not a signal
    });
    driver.join();
    EXPECT_EQ(session.GetState(), 6);
    EXPECT_EQ(session.signalsQueued.load(), 2);
    EXPECT_EQ(session.PeekDataSourceSignal(), MSG_XFERREADY);
    session.PopDataSourceSignal();
    EXPECT_EQ(session.PeekDataSourceSignal(), MSG_CLOSEDSREQ);
    session.PopDataSourceSignal();
    EXPECT_EQ(session.PeekDataSourceSignal(), 0);
}

TEST(TwainSession, SignalReadyInsideEnableKeepsStateSix)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    TW_UINT16 stateDuringCall = 0;
    dsm.respond = [&](const DsmCall& call) {
        if (call.msg == MSG_ENABLEDS) {
            stateDuringCall = session.GetState();
            session.QueueDataSourceSignal(MSG_XFERREADY);
        }
        return TWRC_SUCCESS;
    };
    ASSERT_EQ(session.EnableDS(nullptr, true), TWRC_SUCCESS);
    EXPECT_EQ(stateDuringCall, 5);
    EXPECT_EQ(session.GetState(), 6);
    EXPECT_EQ(linesWith(log, "[debug] Queueing Data Source Signal: MSG_XFERREADY"), 1);
    EXPECT_EQ(linesWith(log, "* State transition 5 -> 6 *"), 1);
    EXPECT_TRUE(session.queryXferSettings);
}

TEST(TwainSession, FailedEnableRestoresStateAndFetchesTheCondition)
{
    ScriptedDsm dsm;
    RecordingSession session;
    session.openSource();
    TW_UINT16 stateDuringCall = 0;
    dsm.conditionCode = TWCC_OPERATIONERROR;
    dsm.respond = [&](const DsmCall& call) {
        if (call.msg != MSG_ENABLEDS)
            return TWRC_SUCCESS;
        stateDuringCall = session.GetState();
        return TWRC_FAILURE;
    };
    dsm.calls.clear();
    EXPECT_EQ(session.EnableDS(nullptr, false), TWRC_FAILURE);
    EXPECT_EQ(stateDuringCall, 5);
    EXPECT_EQ(session.GetState(), 4);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_OPERATIONERROR);
    ASSERT_EQ(dsm.calls.size(), 2u);
    EXPECT_EQ(dsm.calls[1].dat, DAT_STATUS);
    EXPECT_EQ(dsm.calls[1].destination, &session.GetSourceIdentity());
}

TEST(TwainSession, StatusIsFetchedAfterEveryFailureOnly)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    TW_UINT16 answer = TWRC_SUCCESS;
    dsm.respond = [&](const DsmCall&) { return answer; };
    dsm.conditionCode = TWCC_BADCAP;
    dsm.calls.clear();

    const auto ask = [&] {
        TW_CAPABILITY cap{};
        session.CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap, nullptr);
    };
    answer = TWRC_SUCCESS;
    ask();
    EXPECT_EQ(dsm.count(DAT_STATUS, MSG_GET), 0);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SUCCESS);
    answer = TWRC_FAILURE;
    ask();
    EXPECT_EQ(dsm.count(DAT_STATUS, MSG_GET), 1);
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_BADCAP);
    EXPECT_EQ(linesWith(log, "[debug] Result = TWRC_FAILURE, Condition Code = TWCC_BADCAP"), 1);
    answer = TWRC_CHECKSTATUS;
    ask();
    EXPECT_EQ(dsm.count(DAT_STATUS, MSG_GET), 2);
    // The next call starts from TWCC_SUCCESS again.
    answer = TWRC_SUCCESS;
    ask();
    EXPECT_EQ(session.GetStatus().ConditionCode, TWCC_SUCCESS);
}

TEST(TwainSession, ReentrantCallsAreRefused)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    session.state = 5;
    TW_UINT16 nestedEvent = 0;
    TW_UINT16 nestedEventCondition = 0;
    TW_UINT16 nestedCall = 0;
    TW_UINT16 nestedCallCondition = 0;
    dsm.respond = [&](const DsmCall& call) {
        if (call.msg == MSG_GETCURRENT) {
            // A source dialog pumping messages brings the event filter back in here …
            TW_EVENT event{};
            nestedEvent = session.ProcessEvent(event);
            nestedEventCondition = session.GetStatus().ConditionCode;
            // … and a handler tries a DSM call of its own.
            TW_CAPABILITY cap{};
            nestedCall = session.CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap, nullptr);
            nestedCallCondition = session.GetStatus().ConditionCode;
        }
        return TWRC_SUCCESS;
    };
    dsm.calls.clear();
    TW_CAPABILITY cap{};
    EXPECT_EQ(session.CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(nestedEvent, TWRC_FAILURE);
    EXPECT_EQ(nestedEventCondition, TWCC_DENIED);
    EXPECT_EQ(nestedCall, TWRC_FAILURE);
    EXPECT_EQ(nestedCallCondition, TWCC_DENIED);
    ASSERT_EQ(dsm.calls.size(), 1u);  // neither nested call reached the DSM
    EXPECT_EQ(linesWith(log, "*** Attempt to make re-entrant TWAIN call rejected"), 1);
    EXPECT_EQ(linesWith(log, "MSG_PROCESSEVENT"), 0);
    EXPECT_EQ(linesWith(log, "DG_CONTROL, DAT_CAPABILITY, MSG_GET,"), 1);
    EXPECT_FALSE(session.inCall);
    // The session is usable again afterwards.
    dsm.respond = nullptr;
    EXPECT_EQ(session.CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap, nullptr), TWRC_SUCCESS);
}

TEST(TwainSession, EndXferFollowsThePendingCount)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    session.state = 7;
    TW_UINT16 remaining = 2;
    dsm.respond = [&](const DsmCall& call) {
        if (call.msg == MSG_ENDXFER)
            static_cast<TW_PENDINGXFERS*>(call.data)->Count = remaining;
        return TWRC_SUCCESS;
    };
    EXPECT_EQ(session.EndXfer(), TWRC_SUCCESS);
    EXPECT_EQ(session.GetState(), 6);
    session.state = 7;
    remaining = 0;
    EXPECT_EQ(session.EndXfer(), TWRC_SUCCESS);
    EXPECT_EQ(session.GetState(), 5);
    EXPECT_EQ(session.endXferCounts, (std::vector<TW_UINT16>{ 2, 0 }));
    EXPECT_EQ(linesWith(log, "* State transition 7 -> 6 *"), 1);
    EXPECT_EQ(linesWith(log, "* State transition 7 -> 5 *"), 1);

    // A failed MSG_ENDXFER is not reported to the owner.
    session.state = 7;
    dsm.respond = [](const DsmCall&) { return TWRC_FAILURE; };
    EXPECT_EQ(session.EndXfer(), TWRC_FAILURE);
    EXPECT_EQ(session.endXferCounts.size(), 2u);
    EXPECT_EQ(session.GetState(), 7);
}

TEST(TwainSession, ProcessEventQueuesOnlyTheSourcesSignals)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    dsm.calls.clear();
    TW_EVENT event{};
    EXPECT_EQ(session.ProcessEvent(event), TWRC_NOTDSEVENT);  // state 4: not even asked
    EXPECT_TRUE(dsm.calls.empty());

    session.state = 5;
    TW_UINT16 answer = TWRC_NOTDSEVENT;
    TW_UINT16 message = MSG_NULL;
    dsm.respond = [&](const DsmCall& call) {
        static_cast<TW_EVENT*>(call.data)->TWMessage = message;
        return answer;
    };
    EXPECT_EQ(session.ProcessEvent(event), TWRC_NOTDSEVENT);
    answer = TWRC_DSEVENT;
    EXPECT_EQ(session.ProcessEvent(event), TWRC_DSEVENT);  // consumed, nothing to queue
    EXPECT_EQ(session.PeekDataSourceSignal(), 0);
    message = MSG_XFERREADY;
    EXPECT_EQ(session.ProcessEvent(event), TWRC_DSEVENT);
    EXPECT_EQ(session.PeekDataSourceSignal(), MSG_XFERREADY);
    EXPECT_EQ(session.GetState(), 6);
    EXPECT_EQ(linesWith(log, "CTWAINSession::ProcessEvent twCopy.TWMessage = 257， twRC： 4"), 1);
    EXPECT_EQ(dsm.calls.front().destination, &session.GetSourceIdentity());
    EXPECT_EQ(linesWith(log, "MSG_PROCESSEVENT"), 0);
}

TEST(TwainSession, StopFeederAndTheWalkDown)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    ASSERT_EQ(session.EnableDS(nullptr, false), TWRC_SUCCESS);
    session.QueueDataSourceSignal(MSG_XFERREADY);
    // The feeder stops; the images of sheets already fed are still to come.
    dsm.respond = [](const DsmCall& call) {
        if (call.msg == MSG_STOPFEEDER)
            static_cast<pTW_PENDINGXFERS>(call.data)->Count = 2;
        return static_cast<TW_UINT16>(TWRC_SUCCESS);
    };
    TW_UINT16 pending = 0;
    EXPECT_EQ(session.StopFeeding(pending), TWRC_SUCCESS);
    EXPECT_EQ(pending, 2);
    EXPECT_EQ(session.GetState(), 6);
    EXPECT_EQ(session.StopFeeder(), TWRC_SUCCESS);
    EXPECT_EQ(session.GetState(), 5);
    EXPECT_EQ(dsm.count(DAT_PENDINGXFERS, MSG_RESET), 1);
    EXPECT_EQ(session.StopFeeding(pending), TWRC_FAILURE); // only in state 6
    EXPECT_EQ(dsm.count(DAT_PENDINGXFERS, MSG_STOPFEEDER), 1);
    EXPECT_EQ(session.DisableDS(), TWRC_SUCCESS);
    EXPECT_EQ(session.CloseDS(), TWRC_SUCCESS);
    EXPECT_EQ(session.CloseDSM(), TWRC_SUCCESS);
    EXPECT_EQ(session.UnloadDSM(), TWRC_SUCCESS);
    EXPECT_EQ(session.GetState(), 1);
    EXPECT_FALSE(TwainDsmLibrary::isLoaded());
    EXPECT_EQ(linesWith(log, "* State transition 2 -> 1 *"), 1);
    EXPECT_EQ(linesWith(log, "[debug] Unload DataSource Manager Success"), 1);
}

TEST(TwainSession, MissingLibraryLeavesStateOne)
{
    TwainDsmLibrary::UnloadDSMLibrary();
    QTemporaryDir emptyFolder;
    TwainDsmLibrary::setProgramFolder(emptyFolder.path().toStdString());
    LogCapture log;
    RecordingSession session;
    EXPECT_EQ(session.LoadDSM(), 1);
    EXPECT_EQ(session.GetState(), 1);
    EXPECT_EQ(linesWith(log, "[debug] Load DataSource Manager Failure"), 1);
    TwainDsmLibrary::setProgramFolder(std::string());
}

TEST(TwainSession, ContainerSizesFollowTheStructures)
{
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_ONEVALUE, TWTY_STR32, 1), 40u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_ONEVALUE, TWTY_UINT16, 1), 6u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_ONEVALUE, TWTY_FRAME, 1), 22u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_RANGE, TWTY_FIX32, 1), 22u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_RANGE, TWTY_UINT8, 1), 22u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_ARRAY, TWTY_UINT16, 3), 14u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_ENUMERATION, TWTY_FIX32, 2), 24u);
    EXPECT_EQ(CTWAINSession::ContainerSize(TWON_DONTCARE16, TWTY_UINT16, 1), 0u);
    EXPECT_EQ(CTWAINSession::ItemSize(TWTY_STR255), 256u);
    EXPECT_EQ(CTWAINSession::ItemSize(TWTY_UNI512), 1024u);
    EXPECT_EQ(CTWAINSession::ItemSize(0x0010), 0u);

    ScriptedDsm dsm;
    RecordingSession session;
    TW_CAPABILITY cap = session.CreateContainer(ICAP_XRESOLUTION, TWON_ENUMERATION, TWTY_FIX32, 5);
    const TW_HANDLE container = cap.hContainer; // packed: the check may not bind to the field itself
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(cap.Cap, ICAP_XRESOLUTION);
    EXPECT_EQ(cap.ConType, TWON_ENUMERATION);
    const auto* enumeration = static_cast<const TW_ENUMERATION*>(CTWAINSession::LockContainer(cap.hContainer));
    EXPECT_EQ(enumeration->ItemType, TWTY_FIX32);
    EXPECT_EQ(TW_UINT32(enumeration->NumItems), 5u);
    EXPECT_EQ(TW_UINT32(enumeration->CurrentIndex), 0u);
    CTWAINSession::UnlockContainer(cap.hContainer);
    CTWAINSession::FreeContainer(cap.hContainer);
    const TW_HANDLE none = session.CreateContainer(ICAP_XRESOLUTION, TWON_DONTCARE16, TWTY_FIX32, 1).hContainer;
    EXPECT_EQ(none, nullptr);
}

TEST(TwainSession, SetCapabilityFillsTheOneValueItem)
{
    ScriptedDsm dsm;
    LogCapture log;
    RecordingSession session;
    session.openSource();
    TW_ONEVALUE sent{};
    TW_UINT16 sentConType = 0;
    dsm.respond = [&](const DsmCall& call) {
        if (call.dat != DAT_CAPABILITY || call.msg != MSG_SET)
            return TWRC_SUCCESS;
        const auto* cap = static_cast<const TW_CAPABILITY*>(call.data);
        sentConType = cap->ConType;
        sent = *static_cast<const TW_ONEVALUE*>(CTWAINSession::LockContainer(cap->hContainer));
        return sent.ItemType == TWTY_BOOL ? TWRC_FAILURE : TWRC_SUCCESS;
    };
    EXPECT_EQ(session.SetCapabilityAnyOneValue(ICAP_PIXELTYPE, TW_UINT16(TWPT_GRAY)), TWRC_SUCCESS);
    EXPECT_EQ(sentConType, TWON_ONEVALUE);
    EXPECT_EQ(sent.ItemType, TWTY_UINT16);
    EXPECT_EQ(TW_UINT32(sent.Item), TW_UINT32(TWPT_GRAY));
    EXPECT_EQ(linesWith(log, "[debug] SetCapabilityAnyOneValue: cap_id:ICAP_PIXELTYPE, TW_UINT16: 1"), 1);

    EXPECT_EQ(session.SetCapabilityAnyOneValue(CAP_DUPLEXENABLED, true), TWRC_FAILURE);
    EXPECT_EQ(TW_UINT32(sent.Item), TW_UINT32(TRUE));
    EXPECT_EQ(linesWith(log, "[debug] SetCapabilityAnyOneValue: cap_id:CAP_DUPLEXENABLED, bool: 1"), 1);
    EXPECT_EQ(linesWith(log, "[error] SetCapabilityAnyOneValue: failed! cap_id:CAP_DUPLEXENABLED, ConType: 5"), 1);
}

// The source answers with the container the test builds; the session picks one value out.
TEST(TwainSession, GetCapabilityValuePicksFromEachContainer)
{
    ScriptedDsm dsm;
    RecordingSession session;
    session.openSource();
    std::function<TW_CAPABILITY(TW_UINT16 msg)> container;
    dsm.respond = [&](const DsmCall& call) {
        if (call.dat != DAT_CAPABILITY)
            return TWRC_SUCCESS;
        auto* cap = static_cast<TW_CAPABILITY*>(call.data);
        const TW_CAPABILITY answer = container(call.msg);
        cap->ConType = answer.ConType;
        cap->hContainer = answer.hContainer;
        return TWRC_SUCCESS;
    };

    container = [&](TW_UINT16) {
        TW_CAPABILITY cap = session.CreateContainer(0x8002, TWON_ENUMERATION, TWTY_UINT16, 3);
        auto* enumeration = static_cast<TW_ENUMERATION*>(CTWAINSession::LockContainer(cap.hContainer));
        const TW_UINT16 items[] = { 10, 20, 30 };
        std::memcpy(enumeration->ItemList, items, sizeof items);
        enumeration->CurrentIndex = 2;
        enumeration->DefaultIndex = 1;
        return cap;
    };
    TW_UINT16 value = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &value, MSG_GETCURRENT), 0);
    EXPECT_EQ(value, 30);
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &value, MSG_GETDEFAULT), 0);
    EXPECT_EQ(value, 20);
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &value, MSG_RESET), 0);
    EXPECT_EQ(value, 30);
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &value, MSG_GET), 1);

    TW_UINT16 rangeType = TWTY_UINT8;
    container = [&](TW_UINT16) {
        TW_CAPABILITY cap = session.CreateContainer(0x8003, TWON_RANGE, rangeType, 1);
        auto* range = static_cast<TW_RANGE*>(CTWAINSession::LockContainer(cap.hContainer));
        range->CurrentValue = 0x11223344;
        range->DefaultValue = 0x55667788;
        return cap;
    };
    TW_UINT32 wide = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &wide, MSG_GETCURRENT), 0);
    EXPECT_EQ(wide, 0x44u);  // one byte for TWTY_UINT8
    rangeType = TWTY_BOOL;
    wide = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &wide, MSG_GETDEFAULT), 0);
    EXPECT_EQ(wide, 0x7788u);
    rangeType = TWTY_UINT32;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &wide, MSG_GETCURRENT), 0);
    EXPECT_EQ(wide, 0x11223344u);
    rangeType = TWTY_FIX32;  // above TWTY_BOOL
    wide = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &wide, MSG_GETCURRENT), 1);
    EXPECT_EQ(wide, 0u);

    container = [&](TW_UINT16) { return session.CreateContainer(0x8004, TWON_ARRAY, TWTY_UINT16, 2); };
    EXPECT_EQ(session.GetCapabilityValue(0x8004, &wide, MSG_GETCURRENT), 1);
}

} // namespace
