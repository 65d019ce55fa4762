// One open virtual scanner: the source side of the TWAIN state machine (states 4 to 7),
// its capabilities, its scripted batch and its image transfers.
#pragma once

#include "data_source.h"
#include "image_transfer.h"
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

// The identity a source of this profile announces.
TW_IDENTITY sourceIdentity(const SourceProfile &profile, uint32_t id);

class VirtualSource : public DataSource {
public:
    VirtualSource(uint32_t id, const SourceProfile &profile, CapabilityMap caps);

    const std::string &productName() const override { return profile_.productName; }
    int state() const override { return state_; }

    uint16_t capability(uint16_t msg, TW_CAPABILITY *cap, nlohmann::json &detail) override;
    uint16_t userInterface(uint16_t msg, TW_USERINTERFACE *ui, const ProfileSet *reloaded) override;
    uint16_t pendingXfers(uint16_t msg, TW_PENDINGXFERS *pending) override;
    uint16_t imageInfo(TW_IMAGEINFO *info) override;
    uint16_t imageLayout(uint16_t msg, TW_IMAGELAYOUT *layout) override;
    uint16_t nativeTransfer(TW_HANDLE *handle) override;
    uint16_t setupFileXfer(uint16_t msg, TW_SETUPFILEXFER *setup) override;
    uint16_t fileTransfer() override;
    uint16_t setupMemXfer(TW_SETUPMEMXFER *setup) override;
    uint16_t memoryTransfer(TW_IMAGEMEMXFER *block, bool asFile) override;
    uint16_t deviceEvent(TW_DEVICEEVENT *event) override;

    // The scanner's speed: the delay before the next image leaves it.
    void waitBefore(uint16_t dg, uint16_t dat, uint16_t msg, std::unique_lock<std::mutex> &managerLock) override;
    bool takeSynchronousXferReady() override;
    bool eventDue(const SourceEvent &event) override;

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

    int transferDelayMs() const;
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
    void scheduleDeviceEvents(int afterPage);
    void endBatch();

    SourceProfile profile_;
    CapabilityMap caps_;
    int state_ = 4;

    std::deque<TW_DEVICEEVENT> deviceEvents_;
    bool synchronousXferReady_ = false;

    // The batch.
    int imagesEnded_ = 0;      // images closed by MSG_ENDXFER
    int remaining_ = 0;        // pending transfers, including the current one
    bool feederEmpty_ = false;
    bool transferred_ = false; // an image left the scanner since the last MSG_ENDXFER
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> folderImages_;

    BlockTransfer blocks_;
    FileXferSetup fileSetup_;
};

} // namespace twaindsm
