#include "sane_source.h"

#include "platform.h"
#include "sane_page.h"
#include "twain_names.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

namespace twaindsm {

using nlohmann::json;

namespace {

constexpr size_t kReadBytes = 256 * 1024;
// Pages scanned but not yet ended by the application: the one it transfers and one ahead.
constexpr int kPagesAhead = 2;
// Runs `call` on a thread of its own and waits for it at most driverPatience(). False when it
// has not returned by then: the thread is left to finish whenever the driver lets it, so
// whatever `call` uses must be its own (held by the closure).
bool withinPatience(std::function<void()> call)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread thread([call = std::move(call), done]() mutable {
        call();
        call = nullptr; // what it held goes before the caller hears it is done
        done->set_value();
    });
    if (finished.wait_for(driverPatience()) != std::future_status::ready) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

const char *frameName(int format)
{
    switch (format) {
    case SANE_FRAME_GRAY: return "GRAY";
    case SANE_FRAME_RGB: return "RGB";
    case SANE_FRAME_RED: return "RED";
    case SANE_FRAME_GREEN: return "GREEN";
    case SANE_FRAME_BLUE: return "BLUE";
    default: return "other";
    }
}

json parametersJson(const SANE_Parameters &p)
{
    return {{"format", frameName(frameCode(p))}, {"lastFrame", p.last_frame != SANE_FALSE}, {"bytesPerLine", p.bytes_per_line},
            {"pixelsPerLine", p.pixels_per_line}, {"lines", p.lines}, {"depth", p.depth}};
}

} // namespace

uint16_t openSaneDevice(uint32_t id, const SaneDeviceInfo &device, const TW_IDENTITY &listed,
                        const SaneDeviceSettings &settings, SaneEventSink sink, std::shared_ptr<DataSource> &source)
{
    SANE_Handle handle = nullptr;
    const SANE_Status status = SaneLibrary::instance().open(device.name, &handle);
    if (status != SANE_STATUS_GOOD) {
        switch (status) {
        case SANE_STATUS_INVAL: return TWCC_NODS; // SANE does not know the name (any more)
        case SANE_STATUS_DEVICE_BUSY: return TWCC_MAXCONNECTIONS;
        case SANE_STATUS_ACCESS_DENIED: return TWCC_DENIED;
        case SANE_STATUS_NO_MEM: return TWCC_LOWMEMORY;
        default: return TWCC_CHECKDEVICEONLINE;
        }
    }
    TW_IDENTITY identity = listed;
    identity.Id = id;
    auto sane = std::make_shared<SaneSource>(identity, device, handle, settings, std::move(sink));
    sane->applyOptions(settings.options);
    sane->readCapabilities();
    source = sane;
    return TWCC_SUCCESS;
}

// ---- Result ------------------------------------------------------------------------------

SaneSource::Result &SaneSource::Result::operator=(Result &&other) noexcept
{
    if (this != &other) {
        std::free(dib);
        kind = other.kind;
        dib = other.dib;
        layout = other.layout;
        lengthWasUnknown = other.lengthWasUnknown;
        conditionCode = other.conditionCode;
        other.dib = nullptr;
    }
    return *this;
}

SaneSource::Result::~Result()
{
    std::free(dib);
}

// ---- Opening and closing -----------------------------------------------------------------

SaneSource::SaneSource(const TW_IDENTITY &identity, SaneDeviceInfo device, SANE_Handle handle, SaneDeviceSettings settings,
                       SaneEventSink sink)
    : DataSource(identity), device_(std::move(device)),
      productName_(identity.ProductName, strnlen(identity.ProductName, sizeof identity.ProductName)),
      settings_(std::move(settings)), shared_(std::make_shared<Shared>(handle, device_.name, std::move(sink))),
      caps_(shared_->options)
{
}

SaneSource::~SaneSource()
{
    cancelBatch();
    if (!workerLetGo())
        return; // the stuck worker closes the handle if the driver ever lets it go
    // The source's reference is the last one: the handle is closed with it, on a thread that
    // may be left behind should sane_close not return.
    if (!withinPatience([shared = std::move(shared_)]() mutable { shared.reset(); }))
        driverHangs("sane_close");
}

SaneSource::Shared::Shared(SANE_Handle handle, std::string deviceName, SaneEventSink sink)
    : handle(handle), deviceName(std::move(deviceName)), sink(std::move(sink)), options(handle, this->deviceName)
{
}

SaneSource::Shared::~Shared()
{
    SaneLibrary::instance().close(handle, deviceName);
}

bool SaneSource::workerLetGo()
{
    if (!worker_.joinable())
        return true;
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        // Once one driver call has hung, the worker is not waited for again.
        const auto patience = driverHung_ ? std::chrono::milliseconds(0) : driverPatience();
        done = shared_->changed.wait_for(lock, patience, [this] { return shared_->workerDone; });
    }
    if (done) {
        worker_.join(); // it has nothing left to do but end
        return true;
    }
    worker_.detach();
    driverHangs("scan");
    return false;
}

void SaneSource::driverHangs(const char *call)
{
    driverHung_ = true;
    SaneLibrary::instance().callAbandoned();
    if (shared_) { // (not while the source closes)
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->lost = true;
    }
    const long long ms = driverPatience().count();
    traceSane(call, device_.name, SANE_STATUS_IO_ERROR,
              {{"note", "the driver did not return within " + std::to_string(ms) + " ms; the device counts as lost"}});
    std::fprintf(stderr, "twaindsm: %s: the SANE driver did not return from %s within %lld ms; the device counts as lost\n",
                 device_.name.c_str(), call, ms);
}

void SaneSource::applyOptions(const nlohmann::ordered_json &options)
{
    std::lock_guard<std::mutex> device(shared_->deviceMutex);
    for (auto it = options.begin(); it != options.end(); ++it) {
        SANE_Int info = 0;
        const SANE_Status status = shared_->options.setJson(it.key(), it.value(), info);
        if (status != SANE_STATUS_GOOD)
            std::fprintf(stderr, "twaindsm: %s: cannot set the SANE option %s to %s: %s\n", device_.name.c_str(),
                         it.key().c_str(), it.value().dump().c_str(), saneStatusName(status).c_str());
    }
}

void SaneSource::readCapabilities()
{
    std::lock_guard<std::mutex> device(shared_->deviceMutex);
    caps_.refresh();
}

bool SaneSource::deviceLost()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->lost;
}

// ---- Capabilities ------------------------------------------------------------------------

uint16_t SaneSource::capability(uint16_t msg, TW_CAPABILITY *cap, json &detail)
{
    if (!cap)
        return fail(TWCC_BADVALUE);
    const bool negotiating = msg == MSG_SET || msg == MSG_RESET || msg == MSG_RESETALL || msg == MSG_SETCONSTRAINT;
    if (negotiating ? state_ != 4 : state_ < 4)
        return sequenceError();
    if (deviceLost()) {
        caps_.setOnline(false);
        // Only whether it is online can still be asked.
        if (negotiating || cap->Cap != CAP_DEVICEONLINE)
            return fail(TWCC_CHECKDEVICEONLINE);
    }
    // Queries are answered from what was read; writes go to the device, once a batch that
    // was cancelled has let go of it.
    std::unique_lock<std::mutex> device(shared_->deviceMutex, std::defer_lock);
    if (negotiating)
        device.lock();
    CapabilityWriter writer;
    writer.set = [this](Capability &capability, const Container &request, bool &adjusted) {
        return caps_.set(capability, request, adjusted);
    };
    writer.reset = [this](Capability &capability, bool &adjusted) { return caps_.reset(capability, adjusted); };
    writer.resetAll = [this] { caps_.resetAll(); };
    uint16_t code = TWCC_SUCCESS;
    return outcome(capabilityTriplet(msg, cap, caps_.map(), writer, detail, code), code);
}

// ---- Enabling and the batch --------------------------------------------------------------

uint16_t SaneSource::userInterface(uint16_t msg, TW_USERINTERFACE *ui, const ProfileSet *reloaded)
{
    switch (msg) {
    case MSG_ENABLEDS:
    case MSG_ENABLEDSUIONLY:
        if (state_ != 4)
            return sequenceError();
        if (!ui)
            return fail(TWCC_BADVALUE);
        if (deviceLost())
            return fail(TWCC_CHECKDEVICEONLINE);
        if (reloaded)
            settings_ = saneSettingsFor(*reloaded, device_.name);
        state_ = 5;
        newGeneration();
        imagesEnded_ = 0;
        batchOver_ = false;
        current_.reset();
        blocks_.clear();
        if (msg == MSG_ENABLEDSUIONLY)
            schedule(MSG_CLOSEDSOK, 0);
        else if (settings_.closeRequest == CloseRequest::BeforeFirstPage)
            schedule(MSG_CLOSEDSREQ, 0);
        else
            startBatch();
        return TWRC_SUCCESS;
    case MSG_DISABLEDS:
        if (state_ != 5)
            return sequenceError();
        cancelBatch();
        state_ = 4;
        newGeneration();
        // The device is free again once the worker has let go of it; a driver that keeps it
        // makes the device lost, not the application frozen.
        workerLetGo();
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

void SaneSource::startBatch()
{
    // A batch cancelled a moment ago may still be letting go of the device.
    if (worker_.joinable())
        worker_.join();
    if (!plannedPageOptions_.empty()) {
        // The last batch set options of its own between pages: read the device again.
        std::lock_guard<std::mutex> device(shared_->deviceMutex);
        caps_.refresh();
    }
    plannedPageOptions_ = settings_.optionsAtPage;
    Plan plan;
    plan.generation = generation();
    // Without a "source" option only a sheet-fed scanner feeds paper by itself.
    plan.feeder = caps_.map().count(CAP_FEEDERENABLED) ? caps_.number(CAP_FEEDERENABLED, 0) != 0
                                                       : device_.type.find("sheetfed") != std::string::npos;
    plan.xferCount = caps_.number(CAP_XFERCOUNT, -1);
    plan.dpi = caps_.real(ICAP_XRESOLUTION, 0);
    plan.optionsAtPage = plannedPageOptions_;
    {
        std::lock_guard<std::mutex> device(shared_->deviceMutex);
        expected_ = SANE_Parameters{};
        const SANE_Status status = SaneLibrary::instance().parameters(shared_->handle, &expected_);
        traceSane("sane_get_parameters", device_.name, status, parametersJson(expected_));
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->results.clear();
        shared_->outstanding = 0;
        shared_->pagesStarted = 0;
        shared_->reading = false;
        shared_->workerDone = false;
        shared_->stop = false;
        shared_->cancel = false;
    }
    worker_ = std::thread([shared = shared_, plan] { shared->runBatch(plan); });
}

void SaneSource::cancelBatch()
{
    current_.reset();
    blocks_.clear();
    bool interrupt = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->workerDone && shared_->results.empty())
            return;
        shared_->cancel = shared_->stop = true;
        shared_->results.clear();
        interrupt = shared_->inSaneCall && !driverHung_; // a driver that hung once is not called again
        shared_->cancelling = interrupt;
    }
    shared_->changed.notify_all();
    if (!interrupt)
        return;
    // Makes the worker's sane_read or sane_start return at once; the worker ends the scan itself.
    const bool returned = withinPatience([shared = shared_] {
        SaneLibrary::instance().cancel(shared->handle);
        traceSane("sane_cancel", shared->deviceName, SANE_STATUS_GOOD, {{"from", "application"}});
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->cancelling = false;
        }
        shared->changed.notify_all();
    });
    if (!returned)
        driverHangs("sane_cancel");
}

void SaneSource::endBatch()
{
    state_ = 5;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->changed.notify_all();
    if (settings_.closeRequest == CloseRequest::AfterLastPage)
        schedule(MSG_CLOSEDSREQ, 0);
}

bool SaneSource::eventDue(const SourceEvent &event)
{
    switch (event.message) {
    case MSG_XFERREADY: {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (state_ != 5 || shared_->results.empty())
            return false;
        state_ = 6;
        return true;
    }
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
        return state_ >= 5;
    default:
        return false;
    }
}

// ---- The worker --------------------------------------------------------------------------

bool SaneSource::Shared::cancelled()
{
    std::lock_guard<std::mutex> lock(mutex);
    return cancel;
}

bool SaneSource::Shared::enterSaneCall()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (cancel)
        return false;
    inSaneCall = true;
    return true;
}

void SaneSource::Shared::leaveSaneCall()
{
    std::lock_guard<std::mutex> lock(mutex);
    inSaneCall = false;
}

void SaneSource::Shared::runBatch(Plan plan)
{
    handedOver = 0;
    {
        std::lock_guard<std::mutex> device(deviceMutex);
        bool anyPage = false;
        bool failed = false;
        for (int page = 1;; ++page) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return cancel || stop || outstanding < kPagesAhead; });
                if (cancel || stop)
                    break;
                reading = true;
            }
            const int before = handedOver;
            if (!scanPage(plan, page, anyPage)) {
                failed = handedOver > before; // it handed over the failure that ended the batch
                break;
            }
            if (!plan.feeder || (plan.xferCount > 0 && page >= plan.xferCount))
                break;
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            // After a failure the device stays as it is until the application has taken the
            // failure in (MSG_ENDXFER, MSG_RESET or MSG_DISABLEDS): a scan ended too soon after
            // sane_start is more than some backends' reader threads survive.
            if (failed)
                changed.wait(lock, [this] { return cancel || stop; });
            // Never two sane_cancel at once: wait for the application's to return.
            changed.wait(lock, [this] { return !cancelling; });
        }
        SaneLibrary::instance().cancel(handle);
        traceSane("sane_cancel", deviceName, SANE_STATUS_GOOD, {{"from", "batch end"}});
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        reading = false;
        workerDone = true;
    }
    changed.notify_all();
}

SANE_Status SaneSource::Shared::startScan(int page, int frame)
{
    // Not interrupted from the application's thread, unlike a read: a backend that starts its
    // reader thread inside sane_start may lose track of it to a sane_cancel made meanwhile, and
    // that thread would outlive the scan. A cancel is taken once the start has returned.
    if (cancelled())
        return SANE_STATUS_CANCELLED;
    const SANE_Status status = SaneLibrary::instance().start(handle);
    traceSane("sane_start", deviceName, status, {{"page", page}, {"frame", frame}});
    return status;
}

bool SaneSource::Shared::scanPage(const Plan &plan, int page, bool &anyPage)
{
    for (const SaneDeviceSettings::PageOptions &step : plan.optionsAtPage) {
        if (step.page != page)
            continue;
        for (auto it = step.options.begin(); it != step.options.end(); ++it) {
            SANE_Int info = 0;
            options.setJson(it.key(), it.value(), info);
        }
    }
    auto failWith = [&](SANE_Status status) {
        Result result;
        if (status == SANE_STATUS_CANCELLED) {
            result.kind = Result::Kind::Cancelled;
        } else {
            result.kind = Result::Kind::Failure;
            // A value the device refuses in the middle of a scan is the device's failure.
            const bool refused = status == SANE_STATUS_INVAL || status == SANE_STATUS_UNSUPPORTED;
            result.conditionCode = refused ? static_cast<uint16_t>(TWCC_OPERATIONERROR) : saneConditionCode(status);
            if (status == SANE_STATUS_IO_ERROR) {
                std::lock_guard<std::mutex> lock(mutex);
                lost = true; // the device is gone until it is opened again
            }
        }
        json detail = {{"page", page}, {"conditionCode", ccName(result.conditionCode)}};
        if (status == SANE_STATUS_COVER_OPEN)
            detail["note"] = "the scanner's cover is open";
        traceSane("scan", deviceName, status, detail);
        deliver(std::move(result), plan);
        return false;
    };

    SanePage assembled;
    std::vector<uint8_t> buffer(kReadBytes);
    for (int frame = 1;; ++frame) {
        const SANE_Status started = startScan(page, frame);
        if (cancelled())
            return false;
        if (started == SANE_STATUS_GOOD && frame == 1) {
            std::lock_guard<std::mutex> lock(mutex);
            pagesStarted = page; // MSG_ENDXFER of the page before may now answer
        }
        if (frame == 1)
            changed.notify_all();
        if (started == SANE_STATUS_NO_DOCS && frame == 1 && anyPage)
            return false; // the feeder is empty: the batch is complete
        if (started != SANE_STATUS_GOOD)
            return failWith(started);
        SANE_Parameters parameters{};
        const SANE_Status status = SaneLibrary::instance().parameters(handle, &parameters);
        traceSane("sane_get_parameters", deviceName, status, parametersJson(parameters));
        if (status != SANE_STATUS_GOOD)
            return failWith(status);
        if (!assembled.beginFrame(parameters, plan.dpi)) {
            traceSane("scan", deviceName, SANE_STATUS_UNSUPPORTED, {{"page", page}, {"note", "a frame format this cannot deliver"}});
            return failWith(SANE_STATUS_UNSUPPORTED);
        }
        SANE_Status read = SANE_STATUS_GOOD;
        size_t bytes = 0, reads = 0;
        const size_t expected = parameters.lines > 0 ? static_cast<size_t>(parameters.lines) * parameters.bytes_per_line : 0;
        bool paused = false;
        while (read == SANE_STATUS_GOOD) {
            // The frame's last byte is read a moment after the others. Backends built on SANE's
            // reader threads end the thread when the last byte is read, by an asynchronous
            // cancellation; a thread cancelled while it still frees its buffer dies holding the
            // allocator's lock, and the read then never returns. The pause lets it finish first.
            size_t wanted = buffer.size();
            if (expected > 0 && !paused) {
                const size_t remaining = expected > bytes ? expected - bytes : 1;
                if (remaining == 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    paused = true;
                } else if (remaining <= wanted) {
                    wanted = remaining - 1;
                }
            }
            SANE_Int length = 0;
            if (!enterSaneCall())
                return false;
            read = SaneLibrary::instance().read(handle, buffer.data(), static_cast<SANE_Int>(wanted), &length);
            leaveSaneCall();
            ++reads;
            if (read == SANE_STATUS_GOOD && length > 0) {
                if (bytes == 0)
                    traceSane("sane_read", deviceName, read, {{"page", page}, {"frame", frame}, {"firstBytes", length}});
                assembled.add(buffer.data(), static_cast<size_t>(length));
                bytes += static_cast<size_t>(length);
            }
        }
        traceSane("sane_read", deviceName, read, {{"page", page}, {"frame", frame}, {"bytes", bytes}, {"reads", reads}});
        if (cancelled())
            return false;
        if (read == SANE_STATUS_NO_DOCS && frame == 1 && bytes == 0 && anyPage)
            return false;
        if (read != SANE_STATUS_EOF)
            return failWith(read);
        if (assembled.endFrame())
            break;
    }
    Result result;
    result.lengthWasUnknown = assembled.lengthWasUnknown();
    result.dib = assembled.takeDib(result.layout);
    if (!result.dib)
        return failWith(SANE_STATUS_NO_MEM);
    anyPage = true;
    deliver(std::move(result), plan);
    return true;
}

void SaneSource::Shared::deliver(Result result, const Plan &plan)
{
    const bool first = handedOver++ == 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancel)
            return;
        results.push_back(std::move(result));
        ++outstanding;
        reading = false;
    }
    changed.notify_all();
    if (first)
        sink(plan.generation, SourceEvent{MSG_XFERREADY, 0, 0});
}

// ---- Transfers ---------------------------------------------------------------------------

void SaneSource::waitBefore(uint16_t dg, uint16_t dat, uint16_t msg, std::unique_lock<std::mutex> &managerLock)
{
    if (state_ < 6)
        return;
    const bool image = dg == DG_IMAGE
        && (dat == DAT_IMAGEINFO || dat == DAT_IMAGELAYOUT || dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEFILEXFER
            || dat == DAT_IMAGEMEMXFER || dat == DAT_IMAGEMEMFILEXFER);
    const bool setup = dg == DG_CONTROL && dat == DAT_SETUPMEMXFER;
    const bool endXfer = dg == DG_CONTROL && dat == DAT_PENDINGXFERS && msg == MSG_ENDXFER;
    if (!image && !setup && !endXfer)
        return;
    // The image about to be transferred must have been scanned, which may take a page's time.
    // MSG_ENDXFER must know whether another image follows: the next page has started, or the
    // batch has ended.
    const bool needNext = endXfer && !batchOver_ && !(current_ && current_->kind != Result::Kind::Page);
    const size_t forCurrent = current_ ? 0 : 1;
    if (forCurrent == 0 && !needNext)
        return;
    const int nextPage = imagesEnded_ + 2;
    managerLock.unlock();
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->changed.wait(lock, [&] {
            if (shared_->cancel || shared_->workerDone)
                return true;
            if (shared_->results.size() < forCurrent)
                return false;
            return !needNext || shared_->results.size() > forCurrent || shared_->pagesStarted >= nextPage;
        });
    }
    managerLock.lock();
}

bool SaneSource::takeCurrent()
{
    if (current_)
        return true;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->results.empty())
        return false;
    current_ = std::make_unique<Result>(std::move(shared_->results.front()));
    shared_->results.pop_front();
    return true;
}

uint16_t SaneSource::imageInfo(TW_IMAGEINFO *info)
{
    if (!info)
        return fail(TWCC_BADVALUE);
    if (state_ != 6 && state_ != 7)
        return sequenceError();
    if (!takeCurrent())
        return sequenceError();
    int width = 0, length = 0, bitCount = 0;
    double dpi = caps_.real(ICAP_XRESOLUTION, 0);
    if (current_->kind == Result::Kind::Page) {
        const DibLayout &layout = current_->layout;
        width = layout.width;
        bitCount = layout.bitCount;
        dpi = layout.xDpi;
        // With an undefined image size the length is reported once the page has been transferred.
        const bool undefined = caps_.number(ICAP_UNDEFINEDIMAGESIZE, 0) != 0;
        length = undefined && current_->lengthWasUnknown && state_ == 6 ? -1 : layout.height;
    } else {
        // The image that will not come: what the device expected it to be.
        width = expected_.pixels_per_line;
        length = expected_.lines;
        bitCount = frameCode(expected_) == SANE_FRAME_GRAY ? (expected_.depth == 1 ? 1 : 8) : 24;
    }
    describeImage(info, width, length, bitCount, dpi, dpi);
    return TWRC_SUCCESS;
}

uint16_t SaneSource::imageLayout(uint16_t msg, TW_IMAGELAYOUT *layout)
{
    double frame[4];
    if (!caps_.scanArea(frame))
        return fail(TWCC_CAPUNSUPPORTED);
    uint16_t code = TWCC_SUCCESS;
    return outcome(answerImageLayout(msg, layout, state_, frame, static_cast<uint32_t>(imagesEnded_ + 1), code), code);
}

uint16_t SaneSource::beginTransfer()
{
    if (state_ != 6)
        return sequenceError();
    if (!takeCurrent())
        return sequenceError();
    switch (current_->kind) {
    case Result::Kind::Failure:
        batchOver_ = true;
        return fail(current_->conditionCode);
    case Result::Kind::Cancelled:
        batchOver_ = true;
        state_ = 7;
        return TWRC_CANCEL;
    default:
        return TWRC_SUCCESS;
    }
}

uint16_t SaneSource::nativeTransfer(TW_HANDLE *handle)
{
    if (!handle)
        return fail(TWCC_BADVALUE);
    const uint16_t go = beginTransfer();
    if (go != TWRC_SUCCESS)
        return go;
    if (settings_.nativeFormat == "tiff") {
        *handle = tiffHandle(current_->dib, current_->layout);
        if (!*handle)
            return fail(TWCC_LOWMEMORY);
    } else {
        // The page was scanned into a DIB: it changes hands as it is where the platform can.
        *handle = pageAsHandle(current_->dib, current_->layout.size);
        current_->dib = nullptr;
        if (!*handle)
            return fail(TWCC_LOWMEMORY);
    }
    state_ = 7;
    return TWRC_XFERDONE;
}

uint16_t SaneSource::setupFileXfer(uint16_t msg, TW_SETUPFILEXFER *setup)
{
    uint16_t code = TWCC_SUCCESS;
    return outcome(fileSetup_.handle(msg, setup, state_, identity_.Id, fileFormat(), code), code);
}

uint16_t SaneSource::fileTransfer()
{
    const TW_SETUPFILEXFER setup = fileSetup_.current(identity_.Id, fileFormat());
    const uint16_t go = beginTransfer();
    if (go != TWRC_SUCCESS)
        return go;
    if (!writeImageFile(setup.FileName, current_->dib, current_->layout, setup.Format))
        return fail(TWCC_FILEWRITEERROR);
    state_ = 7;
    return TWRC_XFERDONE;
}

uint16_t SaneSource::setupMemXfer(TW_SETUPMEMXFER *setup)
{
    if (!setup)
        return fail(TWCC_BADVALUE);
    if (state_ < 4 || state_ > 6)
        return sequenceError();
    size_t rowBytes = 0;
    if (state_ == 6 && takeCurrent() && current_->kind == Result::Kind::Page) {
        rowBytes = current_->layout.packedRowBytes();
    } else {
        const int bits = frameCode(expected_) == SANE_FRAME_GRAY ? (expected_.depth == 1 ? 1 : 8) : 24;
        rowBytes = (static_cast<size_t>(std::max(1, expected_.pixels_per_line)) * bits + 7) / 8;
    }
    describeMemXfer(setup, rowBytes);
    return TWRC_SUCCESS;
}

uint16_t SaneSource::memoryTransfer(TW_IMAGEMEMXFER *block, bool asFile)
{
    if (!block)
        return fail(TWCC_BADVALUE);
    if (!blocks_.active()) {
        const uint16_t go = beginTransfer();
        if (go != TWRC_SUCCESS)
            return go;
        blocks_.start(current_->dib, current_->layout, asFile, fileFormat());
        current_->dib = nullptr;
        state_ = 7;
    } else if (state_ != 7) {
        return sequenceError();
    }
    uint16_t code = TWCC_SUCCESS;
    return outcome(blocks_.next(block, code), code);
}

uint16_t SaneSource::pendingCount()
{
    if (batchOver_ || (current_ && current_->kind != Result::Kind::Page))
        return 1; // the failure in hand ends the batch
    std::lock_guard<std::mutex> lock(shared_->mutex);
    const int known = static_cast<int>(shared_->results.size()) + (current_ ? 1 : 0);
    if (shared_->workerDone)
        return static_cast<uint16_t>(known);
    if (shared_->stop)
        return static_cast<uint16_t>(known + (shared_->reading ? 1 : 0));
    const long long limit = caps_.number(CAP_XFERCOUNT, -1);
    if (limit > 0)
        return static_cast<uint16_t>(std::max<long long>(known, limit - imagesEnded_));
    return 0xFFFF; // a feeder: unknown until it runs empty
}

uint16_t SaneSource::pendingXfers(uint16_t msg, TW_PENDINGXFERS *pending)
{
    if (!pending)
        return fail(TWCC_BADVALUE);
    pending->EOJ = 0;
    switch (msg) {
    case MSG_GET:
        if (state_ < 4)
            return sequenceError();
        pending->Count = state_ >= 6 ? pendingCount() : 0;
        return TWRC_SUCCESS;
    case MSG_ENDXFER: {
        if (state_ != 6 && state_ != 7)
            return sequenceError();
        takeCurrent();
        const bool failed = batchOver_ || (current_ && current_->kind != Result::Kind::Page);
        current_.reset();
        blocks_.clear();
        ++imagesEnded_;
        bool over = failed;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            --shared_->outstanding;
            over = over || (shared_->results.empty() && shared_->pagesStarted <= imagesEnded_ && shared_->workerDone);
        }
        shared_->changed.notify_all();
        if (over) {
            if (failed)
                cancelBatch();
            endBatch();
            pending->Count = 0;
        } else {
            state_ = 6;
            pending->Count = pendingCount();
        }
        return TWRC_SUCCESS;
    }
    case MSG_RESET:
        if (state_ != 6)
            return sequenceError();
        cancelBatch();
        state_ = 5;
        pending->Count = 0;
        return TWRC_SUCCESS;
    case MSG_STOPFEEDER:
        if (state_ != 6)
            return sequenceError();
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stop = true;
        }
        shared_->changed.notify_all();
        pending->Count = pendingCount();
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

} // namespace twaindsm
