#include "virtual_source.h"

#include "platform.h"
#include "trace.h"
#include "twain_names.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace twaindsm {

namespace {

void copyText(char *destination, size_t size, const std::string &text)
{
    std::memset(destination, 0, size);
    std::memcpy(destination, text.data(), std::min(text.size(), size - 1));
}

void paperMillimetres(long long size, double &width, double &height)
{
    switch (size) {
    case TWSS_A3: width = 297; height = 420; break;
    case TWSS_A5: width = 148; height = 210; break;
    case TWSS_USLETTER: width = 215.9; height = 279.4; break;
    case TWSS_USLEGAL: width = 215.9; height = 355.6; break;
    default: width = 210; height = 297; break;
    }
}

} // namespace

TW_IDENTITY sourceIdentity(const SourceProfile &profile, uint32_t id)
{
    TW_IDENTITY identity{};
    identity.Id = id;
    identity.Version.MajorNum = profile.versionMajor;
    identity.Version.MinorNum = profile.versionMinor;
    identity.Version.Language = TWLG_ENGLISH_UK;
    identity.Version.Country = TWCY_UNITEDKINGDOM;
    copyText(identity.Version.Info, sizeof identity.Version.Info, profile.versionInfo);
    identity.ProtocolMajor = TWON_PROTOCOLMAJOR;
    identity.ProtocolMinor = TWON_PROTOCOLMINOR;
    identity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    copyText(identity.Manufacturer, sizeof identity.Manufacturer, profile.manufacturer);
    copyText(identity.ProductFamily, sizeof identity.ProductFamily, profile.productFamily);
    copyText(identity.ProductName, sizeof identity.ProductName, profile.productName);
    return identity;
}

VirtualSource::VirtualSource(uint32_t id, const SourceProfile &profile, CapabilityMap caps)
    : DataSource(sourceIdentity(profile, id)), profile_(profile), caps_(std::move(caps))
{
}

long long VirtualSource::capNumber(uint16_t id, long long fallback) const
{
    return currentNumber(caps_, id, fallback);
}

double VirtualSource::capReal(uint16_t id, double fallback) const
{
    return currentReal(caps_, id, fallback);
}

// ---- Capabilities ------------------------------------------------------------------------

uint16_t VirtualSource::capability(uint16_t msg, TW_CAPABILITY *cap, nlohmann::json &detail)
{
    if (!cap)
        return fail(TWCC_BADVALUE);
    const bool negotiating = msg == MSG_SET || msg == MSG_RESET || msg == MSG_RESETALL || msg == MSG_SETCONSTRAINT;
    if (negotiating ? state_ != 4 : state_ < 4)
        return sequenceError();
    CapabilityWriter writer;
    writer.set = [](Capability &capability, const Container &request, bool &) { return capability.set(request); };
    writer.reset = [](Capability &capability, bool &) { capability.reset(); return static_cast<uint16_t>(TWCC_SUCCESS); };
    writer.resetAll = [this] {
        for (auto &entry : caps_)
            entry.second.reset();
    };
    uint16_t code = TWCC_SUCCESS;
    return outcome(capabilityTriplet(msg, cap, caps_, writer, detail, code), code);
}

// ---- Enabling and the batch --------------------------------------------------------------

uint16_t VirtualSource::userInterface(uint16_t msg, TW_USERINTERFACE *ui, const ProfileSet *profiles)
{
    const SourceProfile *reloaded = profiles ? findSourceProfile(*profiles, profile_.productName) : nullptr;
    switch (msg) {
    case MSG_ENABLEDS:
    case MSG_ENABLEDSUIONLY:
        if (state_ != 4)
            return sequenceError();
        if (!ui)
            return fail(TWCC_BADVALUE);
        if (reloaded) {
            // A test may have rewritten the scanner's behaviour since it was opened; the
            // capabilities keep what the application negotiated.
            profile_ = *reloaded;
            auto loaded = caps_.find(CAP_FEEDERLOADED);
            if (loaded != caps_.end())
                loaded->second.current = {CapItem::number(profile_.pages > 0 ? 1 : 0)};
        }
        if (profile_.enableFailure)
            return fail(profile_.enableFailure);
        state_ = 5;
        newGeneration();
        if (msg == MSG_ENABLEDSUIONLY) {
            remaining_ = 0;
            schedule(MSG_CLOSEDSOK, 0);
        } else {
            startBatch();
        }
        return TWRC_SUCCESS;
    case MSG_DISABLEDS:
        if (state_ != 5)
            return sequenceError();
        state_ = 4;
        newGeneration();
        remaining_ = 0;
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

void VirtualSource::loadFolderImages()
{
    folderImages_.clear();
    if (profile_.imageFolder.empty())
        return;
    for (const std::string &name : filesInFolder(profile_.imageFolder)) {
        if (name.size() < 4)
            continue;
        std::string extension = name.substr(name.size() - 4);
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        if (extension != ".bmp")
            continue;
        auto dib = std::make_shared<std::vector<uint8_t>>();
        std::string error;
        if (loadBmpFile(profile_.imageFolder + "/" + name, *dib, error))
            folderImages_.push_back(dib);
        else
            std::fprintf(stderr, "twaindsm: skipping page image: %s\n", error.c_str());
    }
    if (folderImages_.empty())
        std::fprintf(stderr, "twaindsm: no usable BMP files in %s; generating answer sheets\n", profile_.imageFolder.c_str());
}

void VirtualSource::startBatch()
{
    loadFolderImages();
    imagesEnded_ = 0;
    transferred_ = false;
    blocks_.clear();
    const bool feeder = capNumber(CAP_FEEDERENABLED, 1) != 0;
    const bool duplex = capNumber(CAP_DUPLEXENABLED, 0) != 0;
    int images = feeder ? profile_.pages * (duplex ? 2 : 1) : 1;
    const long long xferCount = capNumber(CAP_XFERCOUNT, -1);
    if (xferCount > 0)
        images = std::min<long long>(images, xferCount);
    // An empty feeder still announces a transfer; the transfer then reports the missing paper.
    feederEmpty_ = images == 0;
    remaining_ = feederEmpty_ ? 1 : images;

    if (profile_.closeRequest == CloseRequest::BeforeFirstPage)
        schedule(MSG_CLOSEDSREQ, profile_.pageDelayMs);
    else if (profile_.xferReadyInsideEnable)
        synchronousXferReady_ = true;
    else
        schedule(MSG_XFERREADY, profile_.pageDelayMs);
    scheduleDeviceEvents(0);
}

void VirtualSource::scheduleDeviceEvents(int afterPage)
{
    for (const DeviceEventScript &script : profile_.deviceEvents)
        if (script.afterPage == afterPage)
            schedule(MSG_DEVICEEVENT, 0, script.event);
}

void VirtualSource::endBatch()
{
    state_ = 5;
    remaining_ = 0;
    if (profile_.closeRequest == CloseRequest::AfterLastPage)
        schedule(MSG_CLOSEDSREQ, 0);
}

bool VirtualSource::takeSynchronousXferReady()
{
    const bool pending = synchronousXferReady_;
    synchronousXferReady_ = false;
    return pending;
}

bool VirtualSource::eventDue(const SourceEvent &event)
{
    switch (event.message) {
    case MSG_XFERREADY:
        if (state_ != 5 || remaining_ == 0)
            return false;
        state_ = 6;
        return true;
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
        return state_ >= 5;
    case MSG_DEVICEEVENT: {
        TW_DEVICEEVENT device{};
        device.Event = event.deviceEvent;
        copyText(device.DeviceName, sizeof device.DeviceName, profile_.productName);
        deviceEvents_.push_back(device);
        return true;
    }
    default:
        return false;
    }
}

uint16_t VirtualSource::deviceEvent(TW_DEVICEEVENT *event)
{
    if (!event)
        return fail(TWCC_BADVALUE);
    if (state_ < 4 || deviceEvents_.empty())
        return sequenceError();
    *event = deviceEvents_.front();
    deviceEvents_.pop_front();
    return TWRC_SUCCESS;
}

uint16_t VirtualSource::pendingXfers(uint16_t msg, TW_PENDINGXFERS *pending)
{
    if (!pending)
        return fail(TWCC_BADVALUE);
    switch (msg) {
    case MSG_GET:
        if (state_ < 4)
            return sequenceError();
        pending->Count = static_cast<TW_UINT16>(state_ >= 6 ? remaining_ : 0);
        pending->EOJ = 0;
        return TWRC_SUCCESS;
    case MSG_ENDXFER:
        if (state_ != 6 && state_ != 7)
            return sequenceError();
        ++imagesEnded_;
        transferred_ = false;
        blocks_.clear();
        if (--remaining_ <= 0)
            endBatch();
        else
            state_ = 6;
        scheduleDeviceEvents(imagesEnded_);
        pending->Count = static_cast<TW_UINT16>(remaining_);
        pending->EOJ = 0;
        return TWRC_SUCCESS;
    case MSG_RESET:
        if (state_ != 6)
            return sequenceError();
        state_ = 5;
        remaining_ = 0;
        pending->Count = 0;
        pending->EOJ = 0;
        return TWRC_SUCCESS;
    case MSG_STOPFEEDER:
        if (state_ != 6)
            return sequenceError();
        remaining_ = std::min(remaining_, 1);
        pending->Count = static_cast<TW_UINT16>(remaining_);
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

// ---- Images ------------------------------------------------------------------------------

VirtualSource::PageFormat VirtualSource::currentFormat() const
{
    PageFormat format;
    format.pixelType = static_cast<uint16_t>(capNumber(ICAP_PIXELTYPE, pixelTypeCode(profile_.pixelType)));
    format.bitCount = format.pixelType == TWPT_BW ? 1 : format.pixelType == TWPT_GRAY ? 8 : 24;
    format.dpi = capReal(ICAP_XRESOLUTION, profile_.resolution);
    double widthMm = 0, heightMm = 0;
    paperMillimetres(capNumber(ICAP_SUPPORTEDSIZES, paperSizeCode(profile_.paperSize)), widthMm, heightMm);
    format.width = static_cast<int>(std::lround(widthMm / 25.4 * format.dpi));
    format.height = static_cast<int>(std::lround(heightMm / 25.4 * format.dpi));
    return format;
}

VirtualSource::Page VirtualSource::currentPage()
{
    Page page;
    if (!folderImages_.empty()) {
        page.base = folderImages_[static_cast<size_t>(imagesEnded_) % folderImages_.size()];
        page.stamp = false;
        readDibLayout(page.base->data(), page.base->size(), page.layout);
        return page;
    }
    const PageFormat format = currentFormat();
    page.base = cachedAnswerSheet(format.width, format.height, format.bitCount, format.dpi);
    readDibLayout(page.base->data(), page.base->size(), page.layout);
    page.layout.xDpi = page.layout.yDpi = format.dpi;
    return page;
}

uint8_t *VirtualSource::renderPage(const Page &page)
{
    auto *memory = static_cast<uint8_t *>(std::malloc(page.layout.size));
    if (!memory)
        return nullptr;
    std::memcpy(memory, page.base->data(), page.layout.size);
    if (page.stamp)
        stampPageNumber(memory, page.layout, pageNumber());
    return memory;
}

uint16_t VirtualSource::imageInfo(TW_IMAGEINFO *info)
{
    if (!info)
        return fail(TWCC_BADVALUE);
    if (state_ != 6 && state_ != 7)
        return sequenceError();
    if (profile_.failImageInfoAtPage == pageNumber() && profile_.failImageInfoCondition && state_ == 6) {
        // The scanner cannot describe this image: like a jam, it is the last one pending.
        remaining_ = 1;
        return fail(profile_.failImageInfoCondition);
    }
    const Page page = currentPage();
    // With an undefined image size the length is known only once the page has been scanned.
    const bool undefined = capNumber(ICAP_UNDEFINEDIMAGESIZE, 0) != 0;
    describeImage(info, page.layout.width, undefined && !transferred_ ? -1 : page.layout.height, page.layout.bitCount,
                  page.layout.xDpi, page.layout.yDpi);
    return TWRC_SUCCESS;
}

uint16_t VirtualSource::imageLayout(uint16_t msg, TW_IMAGELAYOUT *layout)
{
    const PageFormat format = currentFormat();
    const double frame[4] = {0, 0, format.width / format.dpi, format.height / format.dpi};
    uint16_t code = TWCC_SUCCESS;
    return outcome(answerImageLayout(msg, layout, state_, frame, static_cast<uint32_t>(pageNumber()), code), code);
}

int VirtualSource::transferDelayMs() const
{
    // The first sheet was scanned before MSG_XFERREADY; later ones take their time now.
    return state_ == 6 && imagesEnded_ > 0 && !transferred_ ? profile_.pageDelayMs : 0;
}

void VirtualSource::waitBefore(uint16_t dg, uint16_t dat, uint16_t msg, std::unique_lock<std::mutex> &managerLock)
{
    const bool transfer = dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEFILEXFER || dat == DAT_IMAGEMEMXFER
        || dat == DAT_IMAGEMEMFILEXFER;
    int delay = dg == DG_IMAGE && transfer && msg == MSG_GET ? transferDelayMs() : 0;
    if (dat == DAT_PENDINGXFERS && msg == MSG_ENDXFER) {
        delay = profile_.endXferDelayMs;
        // Tells a test that the application is inside this call for the time of the delay.
        if (delay > 0 && traceEnabled())
            traceWrite({{"wait", "MSG_ENDXFER"}, {"source", profile_.productName}, {"ms", delay}});
    }
    if (delay > 0) {
        managerLock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        managerLock.lock();
    }
}

uint16_t VirtualSource::beginTransfer()
{
    if (state_ != 6)
        return sequenceError();
    if (feederEmpty_) {
        remaining_ = 1;
        return fail(TWCC_NOMEDIA);
    }
    if (profile_.failAtPage == pageNumber() && profile_.failCondition) {
        // A jam or an empty tray stops the feeder: this image is the last one pending.
        remaining_ = 1;
        return fail(profile_.failCondition);
    }
    if (profile_.cancelAtPage == pageNumber()) {
        state_ = 7;
        return TWRC_CANCEL;
    }
    return TWRC_SUCCESS;
}

uint16_t VirtualSource::nativeTransfer(TW_HANDLE *handle)
{
    if (!handle)
        return fail(TWCC_BADVALUE);
    const uint16_t go = beginTransfer();
    if (go != TWRC_SUCCESS)
        return go;
    const Page page = currentPage();
    uint8_t *dib = renderPage(page);
    if (!dib)
        return fail(TWCC_LOWMEMORY);
    if (profile_.lyingDibAtPage == pageNumber() && profile_.nativeFormat != "tiff") {
        // A driver whose header does not match the memory it hands over.
        int32_t height = 0;
        std::memcpy(&height, dib + 8, sizeof height);
        height *= 10;
        std::memcpy(dib + 8, &height, sizeof height);
    }
    TW_HANDLE image = nullptr;
    if (profile_.nativeFormat == "tiff") {
        image = tiffHandle(dib, page.layout);
        std::free(dib);
    } else {
        image = pageAsHandle(dib, page.layout.size);
    }
    if (!image)
        return fail(TWCC_LOWMEMORY);
    *handle = image;
    state_ = 7;
    transferred_ = true;
    return profile_.nativeReturnsSuccess ? TWRC_SUCCESS : TWRC_XFERDONE;
}

uint16_t VirtualSource::setupFileXfer(uint16_t msg, TW_SETUPFILEXFER *setup)
{
    uint16_t code = TWCC_SUCCESS;
    const uint16_t format = static_cast<uint16_t>(capNumber(ICAP_IMAGEFILEFORMAT, TWFF_BMP));
    return outcome(fileSetup_.handle(msg, setup, state_, identity_.Id, format, code), code);
}

uint16_t VirtualSource::fileTransfer()
{
    const TW_SETUPFILEXFER setup = fileSetup_.current(identity_.Id, static_cast<uint16_t>(capNumber(ICAP_IMAGEFILEFORMAT, TWFF_BMP)));
    const uint16_t go = beginTransfer();
    if (go != TWRC_SUCCESS)
        return go;
    const Page page = currentPage();
    uint8_t *dib = renderPage(page);
    if (!dib)
        return fail(TWCC_LOWMEMORY);
    // A driver that reports success for a file it left empty, or never wrote at all.
    const bool written = profile_.missingFileAtPage == pageNumber()
        || (profile_.emptyFileAtPage == pageNumber() ? writeEmptyFile(setup.FileName)
                                                     : writeImageFile(setup.FileName, dib, page.layout, setup.Format));
    std::free(dib);
    if (!written)
        return fail(TWCC_FILEWRITEERROR);
    state_ = 7;
    transferred_ = true;
    return TWRC_XFERDONE;
}

uint16_t VirtualSource::setupMemXfer(TW_SETUPMEMXFER *setup)
{
    if (!setup)
        return fail(TWCC_BADVALUE);
    if (state_ < 4 || state_ > 6)
        return sequenceError();
    const PageFormat format = currentFormat();
    describeMemXfer(setup, (static_cast<size_t>(format.width) * format.bitCount + 7) / 8);
    return TWRC_SUCCESS;
}

uint16_t VirtualSource::memoryTransfer(TW_IMAGEMEMXFER *block, bool asFile)
{
    if (!block)
        return fail(TWCC_BADVALUE);
    if (!blocks_.active()) {
        const uint16_t go = beginTransfer();
        if (go != TWRC_SUCCESS)
            return go;
        const Page page = currentPage();
        uint8_t *dib = renderPage(page);
        if (!dib)
            return fail(TWCC_LOWMEMORY);
        blocks_.start(dib, page.layout, asFile, static_cast<uint16_t>(capNumber(ICAP_IMAGEFILEFORMAT, TWFF_BMP)));
        state_ = 7;
        transferred_ = true;
    } else if (state_ != 7) {
        return sequenceError();
    }
    uint16_t code = TWCC_SUCCESS;
    return outcome(blocks_.next(block, code), code);
}

} // namespace twaindsm
