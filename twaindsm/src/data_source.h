// What the manager routes source triplets to: one open data source, virtual or SANE. It owns
// the source side of the TWAIN state machine (states 4 to 7); the parts every kind of source
// shares (identity, condition code, callback, messages waiting for MSG_PROCESSEVENT, events
// waiting to be posted) live here.
#pragma once

#include "profile.h"
#include "twain.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace twaindsm {

// A message the source wants delivered to the application after a delay.
struct SourceEvent {
    uint16_t message = MSG_NULL;
    int delayMs = 0;
    uint32_t deviceEvent = 0; // for MSG_DEVICEEVENT
};

class DataSource {
public:
    explicit DataSource(const TW_IDENTITY &identity) : identity_(identity) {}
    virtual ~DataSource() = default;
    DataSource(const DataSource &) = delete;
    DataSource &operator=(const DataSource &) = delete;

    const TW_IDENTITY &identity() const { return identity_; }
    virtual const std::string &productName() const = 0;
    virtual int state() const = 0;
    uint16_t conditionCode() const { return conditionCode_; }
    void setConditionCode(uint16_t code) { conditionCode_ = code; }
    // Each enable starts a new generation; events of an older one are dropped.
    uint32_t generation() const { return generation_; }

    // Source triplets. `detail` collects what the trace should show about the call.
    // Every call runs with the manager's lock held.
    virtual uint16_t capability(uint16_t msg, TW_CAPABILITY *cap, nlohmann::json &detail) = 0;
    // `reloaded` is the profile as read again for MSG_ENABLEDS, or null.
    virtual uint16_t userInterface(uint16_t msg, TW_USERINTERFACE *ui, const ProfileSet *reloaded) = 0;
    virtual uint16_t pendingXfers(uint16_t msg, TW_PENDINGXFERS *pending) = 0;
    virtual uint16_t imageInfo(TW_IMAGEINFO *info) = 0;
    virtual uint16_t imageLayout(uint16_t msg, TW_IMAGELAYOUT *layout) = 0;
    virtual uint16_t nativeTransfer(TW_HANDLE *handle) = 0;
    virtual uint16_t setupFileXfer(uint16_t msg, TW_SETUPFILEXFER *setup) = 0;
    virtual uint16_t fileTransfer() = 0;
    virtual uint16_t setupMemXfer(TW_SETUPMEMXFER *setup) = 0;
    virtual uint16_t memoryTransfer(TW_IMAGEMEMXFER *block, bool asFile) = 0;
    virtual uint16_t deviceEvent(TW_DEVICEEVENT *event) { (void)event; return fail(TWCC_BADPROTOCOL); }
    uint16_t processEvent(TW_EVENT *event);

    // Called before a triplet with the manager's lock held. A source that must wait first (for
    // the scanner to deliver a page) releases the lock while it waits, so the manager's other
    // work goes on; it takes the lock again before it returns.
    virtual void waitBefore(uint16_t dg, uint16_t dat, uint16_t msg, std::unique_lock<std::mutex> &managerLock)
    {
        (void)dg; (void)dat; (void)msg; (void)managerLock;
    }

    // Events the last call scheduled; the manager posts them to its event thread.
    std::vector<SourceEvent> takeScheduledEvents();
    // The profile asks for MSG_XFERREADY from inside MSG_ENABLEDS.
    virtual bool takeSynchronousXferReady() { return false; }

    // Called on the event thread when an event is due. False when it no longer applies
    // (the source moved on); otherwise the message must reach the application.
    virtual bool eventDue(const SourceEvent &event) = 0;
    // Without a callback, due messages wait here for DAT_EVENT / MSG_PROCESSEVENT.
    void queueForProcessEvent(uint16_t message) { waitingMessages_.push_back(message); }
    // The window the application gave with MSG_ENABLEDS: woken when a message waits.
    void setApplicationWindow(TW_HANDLE window) { applicationWindow_ = window; }
    TW_HANDLE applicationWindow() const { return applicationWindow_; }

    void registerCallback(TWAINCALLBACKPROC proc, TW_UINTPTR refCon);
    bool hasCallback() const { return callback_ != nullptr; }
    TWAINCALLBACKPROC callback() const { return callback_; }
    TW_UINTPTR callbackRefCon() const { return refCon_; }

protected:
    uint16_t fail(uint16_t code) { conditionCode_ = code; return TWRC_FAILURE; }
    // The result of a shared helper: its condition code becomes the source's when it failed.
    // (`code` is read only here, after the helper has filled it in.)
    uint16_t outcome(uint16_t rc, const uint16_t &code) { return rc == TWRC_FAILURE ? fail(code) : rc; }
    uint16_t sequenceError() { return fail(TWCC_SEQERROR); }
    void schedule(uint16_t message, int delayMs, uint32_t deviceEvent = 0);
    // A new enable or disable: older events and waiting messages no longer apply.
    void newGeneration()
    {
        ++generation_;
        waitingMessages_.clear();
    }

    TW_IDENTITY identity_{};

private:
    uint16_t conditionCode_ = TWCC_SUCCESS;
    uint32_t generation_ = 0;
    TWAINCALLBACKPROC callback_ = nullptr;
    TW_UINTPTR refCon_ = 0;
    std::deque<uint16_t> waitingMessages_;
    TW_HANDLE applicationWindow_ = nullptr;
    std::vector<SourceEvent> scheduled_;
};

} // namespace twaindsm
