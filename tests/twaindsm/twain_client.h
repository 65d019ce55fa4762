// A minimal TWAIN application for the tests: loads libtwaindsm with dlopen and talks to it only
// through twain.h and DSM_Entry.
#pragma once

#include "twain.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TwainClient {
public:
    TwainClient()
    {
        library_ = dlopen(VELLOX_PROGRAM_DIR "/libtwaindsm.so", RTLD_NOW | RTLD_LOCAL);
        if (library_)
            entry_ = reinterpret_cast<DSMENTRYPROC>(dlsym(library_, "DSM_Entry"));
        std::memset(&app_, 0, sizeof app_);
        app_.ProtocolMajor = TWON_PROTOCOLMAJOR;
        app_.ProtocolMinor = TWON_PROTOCOLMINOR;
        app_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        std::strcpy(app_.ProductName, "twaindsm test client");
        std::memset(&source_, 0, sizeof source_);
        current() = this;
    }

    ~TwainClient()
    {
        // Leave the manager closed for whatever the process runs next.
        TW_UINT16 count = 1;
        for (int i = 0; i < 20 && count; ++i) {
            TW_PENDINGXFERS pending{};
            if (call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS)
                break;
            count = pending.Count;
        }
        TW_PENDINGXFERS pending{};
        call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        TW_USERINTERFACE ui{};
        call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        if (source_.Id)
            dsm(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
        dsm(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent_);
        current() = nullptr;
    }

    bool loaded() const { return entry_ != nullptr; }

    // To the manager (no destination) and to the open source.
    TW_UINT16 dsm(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) { return entry_(&app_, nullptr, dg, dat, msg, data); }
    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) { return entry_(&app_, &source_, dg, dat, msg, data); }

    TW_UINT16 sourceStatus()
    {
        TW_STATUS status{};
        call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
    TW_UINT16 managerStatus()
    {
        TW_STATUS status{};
        dsm(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }

    TW_UINT16 openManager() { return dsm(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent_); }

    TW_UINT16 openSource(const std::string &name = std::string())
    {
        std::memset(&source_, 0, sizeof source_);
        std::strncpy(source_.ProductName, name.c_str(), sizeof source_.ProductName - 1);
        const TW_UINT16 rc = dsm(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_);
        if (rc != TWRC_SUCCESS)
            source_.Id = 0;
        return rc;
    }

    TW_UINT16 registerCallback()
    {
        TW_CALLBACK2 callback{};
        callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&TwainClient::onEvent);
        return call(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback);
    }

    // Opens the manager and the named source with a callback; true when all of it worked.
    bool start(const std::string &name = std::string())
    {
        return loaded() && openManager() == TWRC_SUCCESS && openSource(name) == TWRC_SUCCESS && registerCallback() == TWRC_SUCCESS;
    }

    TW_UINT16 enable()
    {
        TW_USERINTERFACE ui{};
        return call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    }
    TW_UINT16 disable()
    {
        TW_USERINTERFACE ui{};
        return call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }

    // The next message the callback received, or MSG_NULL after the deadline.
    TW_UINT16 waitForEvent(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, deadline, [this] { return !events_.empty(); }))
            return MSG_NULL;
        const TW_UINT16 message = events_.front();
        events_.pop_front();
        return message;
    }
    bool eventsPending()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return !events_.empty();
    }
    std::thread::id lastEventThread()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastThread_;
    }

    TW_UINT16 endXfer(TW_UINT16 &count)
    {
        TW_PENDINGXFERS pending{};
        const TW_UINT16 rc = call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        count = pending.Count;
        return rc;
    }

    // Capabilities with one-value containers.
    TW_UINT16 setOne(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value)
    {
        auto *one = static_cast<TW_ONEVALUE *>(std::calloc(1, sizeof(TW_ONEVALUE)));
        one->ItemType = itemType;
        one->Item = value;
        TW_CAPABILITY capability{cap, TWON_ONEVALUE, one};
        const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
        std::free(one);
        return rc;
    }
    TW_UINT16 setFix32(TW_UINT16 cap, double value)
    {
        TW_FIX32 fix;
        const long scaled = std::lround(value * 65536.0);
        fix.Whole = static_cast<TW_INT16>(scaled >> 16);
        fix.Frac = static_cast<TW_UINT16>(scaled & 0xffff);
        TW_UINT32 bits;
        std::memcpy(&bits, &fix, 4);
        return setOne(cap, TWTY_FIX32, bits);
    }
    // Sends MSG and returns the raw container (caller frees); null on failure.
    void *capability(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16 &conType, TW_UINT16 &rc)
    {
        TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
        rc = call(DG_CONTROL, DAT_CAPABILITY, msg, &capability);
        conType = capability.ConType;
        return rc == TWRC_SUCCESS ? capability.hContainer : nullptr;
    }
    // The item of a one-value answer (GETCURRENT, GETDEFAULT, QUERYSUPPORT).
    bool oneValue(TW_UINT16 cap, TW_UINT16 msg, TW_UINT32 &value)
    {
        TW_UINT16 conType = 0, rc = 0;
        void *container = capability(cap, msg, conType, rc);
        if (!container || conType != TWON_ONEVALUE) {
            std::free(container);
            return false;
        }
        value = static_cast<TW_ONEVALUE *>(container)->Item;
        std::free(container);
        return true;
    }

    const TW_IDENTITY &source() const { return source_; }

private:
    static TwainClient *&current()
    {
        static TwainClient *client = nullptr;
        return client;
    }

    static TW_UINT16 TW_CALLINGSTYLE onEvent(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF)
    {
        TwainClient *client = current();
        if (!client)
            return TWRC_SUCCESS;
        {
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->events_.push_back(msg);
            client->lastThread_ = std::this_thread::get_id();
        }
        client->arrived_.notify_all();
        return TWRC_SUCCESS;
    }

    void *library_ = nullptr;
    DSMENTRYPROC entry_ = nullptr;
    TW_IDENTITY app_;
    TW_IDENTITY source_;
    TW_HANDLE parent_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<TW_UINT16> events_;
    std::thread::id lastThread_;
};
