#pragma once

#include "scanning/twainsession.h"

#include <functional>
#include <vector>

namespace vtest {

// One DSM call as the scripted DSM received it (`data` is only valid during the call).
struct DsmCall {
    pTW_IDENTITY destination;
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    TW_MEMREF data;
};

// An in-process DSM for the session's unit tests: records every call (DAT_STATUS too) and
// answers as the test scripts it. While it lives, the session's library state uses it.
class ScriptedDsm {
public:
    ScriptedDsm();
    ~ScriptedDsm();
    ScriptedDsm(const ScriptedDsm&) = delete;
    ScriptedDsm& operator=(const ScriptedDsm&) = delete;

    // The answer to a call other than DAT_STATUS; TWRC_SUCCESS when unset.
    std::function<TW_UINT16(const DsmCall&)> respond;
    // What DAT_STATUS reports.
    TW_UINT16 conditionCode = TWCC_SUCCESS;

    std::vector<DsmCall> calls;
    // Calls with that DAT and MSG.
    int count(TW_UINT16 dat, TW_UINT16 msg) const;
    // The callback the session registered, or null.
    TWAINCALLBACKPROC callback = nullptr;

private:
    static TW_UINT16 TW_CALLINGSTYLE entry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                                           TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    static ScriptedDsm* current;
};

// A session whose hooks count what reaches them, with its record open to the tests.
class RecordingSession : public CTWAINSession {
public:
    using CTWAINSession::inCall;
    using CTWAINSession::pendingXfers;
    using CTWAINSession::queryXferSettings;
    using CTWAINSession::signalQueue;
    using CTWAINSession::state;
    using CTWAINSession::status;

    void OnSignalQueued() override { signalsQueued.fetch_add(1); }
    void OnError(const TW_STATUS& error) override { errors.push_back(error.ConditionCode); }
    void OnEndXfer(const TW_PENDINGXFERS& pending) override { endXferCounts.push_back(pending.Count); }
    void OnNativeTransfer(TW_UINT16, TW_HANDLE*, bool*) override {}
    void OnMemoryTransfer(const TW_IMAGEINFO&, const TW_IMAGEMEMXFER&, TW_UINT16*) override {}
    void OnFileTransfer(TW_UINT16, const TW_SETUPFILEXFER&) override {}
    void OnMemFileTransfer(const TW_IMAGEMEMXFER&, TW_UINT16*) override {}

    // Loads, opens the DSM and a source, as the owner does at start.
    void openSource();

    std::atomic<int> signalsQueued{ 0 };
    std::vector<TW_UINT16> errors;
    std::vector<TW_UINT16> endXferCounts;
};

} // namespace vtest
