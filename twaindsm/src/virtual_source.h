// One open virtual scanner: the source side of the TWAIN state machine (states 4 to 7),
// its capabilities, its scripted batch and its image transfers.
#pragma once

#include "page_image.h"
#include "profile.h"
#include "source_capabilities.h"
#include "twain.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace twaindsm {

// A message the source wants delivered to the application after a delay.
struct SourceEvent {
    uint16_t message = MSG_NULL;
    int delayMs = 0;
    uint32_t deviceEvent = 0; // for MSG_DEVICEEVENT
};

// The identity a source of this profile announces.
TW_IDENTITY sourceIdentity(const SourceProfile &profile, uint32_t id);

class VirtualSource {
public:
    VirtualSource(uint32_t id, const SourceProfile &profile, CapabilityMap caps);

    const TW_IDENTITY &identity() const { return identity_; }
    const std::string &productName() const { return profile_.productName; }
    int state() const { return state_; }
    uint16_t conditionCode() const { return conditionCode_; }
    void setConditionCode(uint16_t code) { conditionCode_ = code; }
    // Each enable starts a new generation; events of an older one are dropped.
    uint32_t generation() const { return generation_; }

    // Source triplets. `detail` collects what the trace should show about the call.
    // Every call runs with the manager's lock held; a call that must wait (scanner speed)
    // reports that through pageDelayMs() before the transfer and the manager waits unlocked.
    uint16_t capability(uint16_t msg, TW_CAPABILITY *cap, nlohmann::json &detail);
    uint16_t userInterface(uint16_t msg, TW_USERINTERFACE *ui, const SourceProfile *reloaded);
    uint16_t pendingXfers(uint16_t msg, TW_PENDINGXFERS *pending);
    uint16_t processEvent(TW_EVENT *event);
    uint16_t imageInfo(TW_IMAGEINFO *info);
    uint16_t imageLayout(uint16_t msg, TW_IMAGELAYOUT *layout);
    uint16_t nativeTransfer(TW_HANDLE *handle);
    uint16_t setupFileXfer(uint16_t msg, TW_SETUPFILEXFER *setup);
    uint16_t fileTransfer();
    uint16_t setupMemXfer(TW_SETUPMEMXFER *setup);
    uint16_t memoryTransfer(TW_IMAGEMEMXFER *block, bool asFile);
    uint16_t deviceEvent(TW_DEVICEEVENT *event);

    // Delay before the next image leaves the scanner.
    int transferDelayMs() const;

    // Events the last call scheduled; the manager posts them to its event thread.
    std::vector<SourceEvent> takeScheduledEvents();
    // The profile asks for MSG_XFERREADY from inside MSG_ENABLEDS.
    bool takeSynchronousXferReady();

    // Called on the event thread when an event is due. False when it no longer applies
    // (the source moved on); otherwise the message must reach the application.
    bool eventDue(const SourceEvent &event);
    // Without a callback, due messages wait here for DAT_EVENT / MSG_PROCESSEVENT.
    void queueForProcessEvent(uint16_t message) { waitingMessages_.push_back(message); }

    void registerCallback(TWAINCALLBACKPROC proc, TW_UINTPTR refCon);
    bool hasCallback() const { return callback_ != nullptr; }
    TWAINCALLBACKPROC callback() const { return callback_; }
    TW_UINTPTR callbackRefCon() const { return refCon_; }

private:
    struct PageFormat {
        int width = 0, height = 0, bitCount = 24;
        uint16_t pixelType = TWPT_RGB;
        double dpi = 200;
    };
    struct Page {
        std::shared_ptr<const std::vector<uint8_t>> base; // answer sheet or image file
        DibLayout layout;
        bool stamp = true;
    };

    uint16_t fail(uint16_t code) { conditionCode_ = code; return TWRC_FAILURE; }
    uint16_t sequenceError() { return fail(TWCC_SEQERROR); }
    long long capNumber(uint16_t id, long long fallback) const;
    double capReal(uint16_t id, double fallback) const;
    PageFormat currentFormat() const;
    Page currentPage();
    int pageNumber() const { return imagesEnded_ + 1; }
    // Builds the current page's DIB into malloc'd memory; null when memory runs out.
    uint8_t *renderPage(const Page &page);
    // The checks and scripted faults every transfer shares; TWRC_SUCCESS to go ahead.
    uint16_t beginTransfer();
    void loadFolderImages();
    void startBatch();
    void schedule(uint16_t message, int delayMs, uint32_t deviceEvent = 0);
    void scheduleDeviceEvents(int afterPage);
    void endBatch();

    SourceProfile profile_;
    CapabilityMap caps_;
    TW_IDENTITY identity_{};
    int state_ = 4;
    uint16_t conditionCode_ = TWCC_SUCCESS;
    uint32_t generation_ = 0;

    TWAINCALLBACKPROC callback_ = nullptr;
    TW_UINTPTR refCon_ = 0;
    std::deque<uint16_t> waitingMessages_;
    std::deque<TW_DEVICEEVENT> deviceEvents_;
    std::vector<SourceEvent> scheduled_;
    bool synchronousXferReady_ = false;

    // The batch.
    int imagesEnded_ = 0;      // images closed by MSG_ENDXFER
    int remaining_ = 0;        // pending transfers, including the current one
    bool feederEmpty_ = false;
    bool transferred_ = false; // an image left the scanner since the last MSG_ENDXFER
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> folderImages_;

    // Transfers in blocks.
    std::vector<uint8_t> blockData_; // memory: the rows in TWAIN order; memfile: the file
    size_t blockOffset_ = 0;
    size_t blockRowBytes_ = 0;
    int blockRows_ = 0;
    int blockWidth_ = 0;
    bool blockActive_ = false;

    TW_SETUPFILEXFER fileSetup_{};
    bool fileSetupChosen_ = false;
};

} // namespace twaindsm
