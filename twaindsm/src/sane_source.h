// A SANE device as a TWAIN source. MSG_ENABLEDS starts the batch on the source's own worker
// thread, which scans page after page (sane_start, then sane_read for every frame) one page
// ahead of the application and hands each finished page over; MSG_XFERREADY goes out with the
// first one. The application's thread never waits on the device except when it asks for a page
// that is still being scanned, and then without holding the manager's lock. Disabling and
// closing wait for the worker to let go of the device, but only so long: a driver call that
// does not return leaves its thread behind and the device lost, never the application frozen.
#pragma once

#include "data_source.h"
#include "image_transfer.h"
#include "profile.h"
#include "sane_capabilities.h"
#include "sane_library.h"
#include "sane_options.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace twaindsm {

// How a source hands an event to the manager from its worker thread.
using SaneEventSink = std::function<void(uint32_t generation, const SourceEvent &event)>;

// Opens the SANE device as source `id`: TWCC_SUCCESS and the source, or a condition code
// (TWCC_NODS when SANE no longer knows the device).
uint16_t openSaneDevice(uint32_t id, const SaneDeviceInfo &device, const TW_IDENTITY &listed,
                        const SaneDeviceSettings &settings, SaneEventSink sink, std::shared_ptr<DataSource> &source);

class SaneSource : public DataSource {
public:
    SaneSource(const TW_IDENTITY &identity, SaneDeviceInfo device, SANE_Handle handle, SaneDeviceSettings settings,
               SaneEventSink sink);
    ~SaneSource() override;

    const std::string &productName() const override { return productName_; }
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

    void waitBefore(uint16_t dg, uint16_t dat, uint16_t msg, std::unique_lock<std::mutex> &managerLock) override;
    bool eventDue(const SourceEvent &event) override;

    // Applies the profile's option values for this device (at opening).
    void applyOptions(const nlohmann::ordered_json &options);
    void readCapabilities();

private:
    // What the worker hands over: a page, or the failure or cancellation that ended the batch.
    struct Result {
        enum class Kind { Page, Failure, Cancelled } kind = Kind::Page;
        uint8_t *dib = nullptr; // malloc'd
        DibLayout layout;
        bool lengthWasUnknown = false;
        uint16_t conditionCode = TWCC_SUCCESS;

        Result() = default;
        Result(Result &&other) noexcept { *this = std::move(other); }
        Result &operator=(Result &&other) noexcept;
        ~Result();
    };
    // What a batch is to do, fixed when it starts.
    struct Plan {
        uint32_t generation = 0;
        bool feeder = false;
        long long xferCount = -1;
        double dpi = 0;
        std::vector<SaneDeviceSettings::PageOptions> optionsAtPage;
    };

    // ---- the application's side
    void startBatch();
    void cancelBatch();
    void endBatch();
    bool takeCurrent();
    uint16_t beginTransfer();
    uint16_t pendingCount();
    bool deviceLost();
    uint16_t fileFormat() const { return static_cast<uint16_t>(caps_.number(ICAP_IMAGEFILEFORMAT, TWFF_BMP)); }

    // What the worker thread touches, held by the source and by the thread. A driver call that
    // never returns keeps its thread, and with it this, alive after the source has given up on
    // it and gone; the handle is closed when the last holder lets go.
    struct Shared {
        Shared(SANE_Handle handle, std::string deviceName, SaneEventSink sink);
        ~Shared();

        // ---- the worker thread
        void runBatch(Plan plan);
        // Scans one page; false when the batch ends with it (a failure, no paper, cancelled).
        bool scanPage(const Plan &plan, int page, bool &anyPage);
        SANE_Status startScan(int page, int frame);
        void deliver(Result result, const Plan &plan);
        bool cancelled();
        // Brackets the reads that sane_cancel from the application's thread must interrupt.
        bool enterSaneCall();
        void leaveSaneCall();

        const SANE_Handle handle;
        const std::string deviceName;
        const SaneEventSink sink;
        int handedOver = 0; // results of this batch so far (the worker's own)

        // The handle is used by one thread at a time: the worker for a whole batch, the
        // application's thread for its option writes in state 4.
        std::mutex deviceMutex;
        SaneOptions options;

        // Shared between the worker and the application's thread, under mutex.
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Result> results;  // handed over, not yet taken by the application
        int outstanding = 0;         // handed over and not yet ended by MSG_ENDXFER
        int pagesStarted = 0;        // pages of the batch whose scan has started
        bool reading = false;        // a page is being scanned
        bool workerDone = true;
        bool stop = false;           // start no further page
        bool cancel = false;         // drop everything, interrupt the page being read
        bool inSaneCall = false;
        bool cancelling = false;     // the application's sane_cancel has not returned yet
        bool lost = false;           // the device went away (an I/O error, a driver that hangs)
    };

    // Waits, at most driverPatience(), for the worker to let go of the device; false (and the
    // device lost) when the driver keeps it.
    bool workerLetGo();
    // The driver did not return from `call`: the device counts as lost.
    void driverHangs(const char *call);

    const SaneDeviceInfo device_;
    const std::string productName_;
    SaneDeviceSettings settings_;
    std::vector<SaneDeviceSettings::PageOptions> plannedPageOptions_; // of the last batch
    std::shared_ptr<Shared> shared_;
    SaneCapabilities caps_;

    // Touched by the application's calls only (under the manager's lock).
    int state_ = 4;
    SANE_Parameters expected_{};  // before a scan: what the device expects to deliver
    std::unique_ptr<Result> current_; // the image being transferred
    bool batchOver_ = false;      // the current image ends the batch (a failure or cancel)
    int imagesEnded_ = 0;
    BlockTransfer blocks_;
    FileXferSetup fileSetup_;
    std::thread worker_;
    bool driverHung_ = false;     // a driver call was given up on
};

} // namespace twaindsm
