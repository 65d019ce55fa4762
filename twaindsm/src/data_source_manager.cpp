#include "data_source_manager.h"

#include "platform.h"
#include "sane_source.h"
#include "source_capabilities.h"
#include "trace.h"
#include "twain_names.h"
#include "virtual_source.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace twaindsm {

using nlohmann::json;

namespace {

TW_HANDLE TW_CALLINGSTYLE memAllocate(TW_UINT32 size) { return allocateHandle(size); }
void TW_CALLINGSTYLE memFree(TW_HANDLE handle) { freeHandle(handle); }
TW_MEMREF TW_CALLINGSTYLE memLock(TW_HANDLE handle) { return lockHandle(handle); }
void TW_CALLINGSTYLE memUnlock(TW_HANDLE handle) { unlockHandle(handle); }

bool sameName(const char *a, const std::string &b)
{
    const size_t length = strnlen(a, sizeof(TW_STR32));
    if (length != b.size())
        return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string productOf(const TW_IDENTITY *identity)
{
    return identity ? std::string(identity->ProductName, strnlen(identity->ProductName, sizeof identity->ProductName)) : std::string();
}

} // namespace

DataSourceManager &DataSourceManager::instance()
{
    if (!managerEndsWithLibrary()) {
        static DataSourceManager *const kept = new DataSourceManager;
        return *kept;
    }
    // Destroyed when the library is unloaded, which stops the event thread first.
    static DataSourceManager manager;
    return manager;
}

TW_UINT16 DataSourceManager::entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    pump_.callStarted();
    json detail;
    TW_UINT16 rc = TWRC_FAILURE;
    uint16_t cc = TWCC_SUCCESS;
    std::string sourceName;
    {
        Lock lock(mutex_);
        const bool managerTriplet = dat == DAT_PARENT || dat == DAT_IDENTITY || dat == DAT_ENTRYPOINT
            || (dest == nullptr && dat == DAT_STATUS);
        if (managerTriplet || dest == nullptr) {
            if (dat != DAT_STATUS)
                conditionCode_ = TWCC_SUCCESS;
            rc = managerCall(lock, origin, dat, msg, data, detail);
            cc = conditionCode_;
            if (dat == DAT_IDENTITY && data && (msg == MSG_OPENDS || msg == MSG_CLOSEDS))
                sourceName = productOf(static_cast<pTW_IDENTITY>(data));
        } else if (state_ != 3) {
            rc = TWRC_FAILURE;
            cc = conditionCode_ = TWCC_SEQERROR;
        } else if (std::shared_ptr<DataSource> source = findSource(dest)) {
            sourceName = source->productName();
            if (dat != DAT_STATUS)
                source->setConditionCode(TWCC_SUCCESS);
            rc = sourceCall(lock, source, dg & DG_MASK, dat, msg, data, detail);
            cc = source->conditionCode();
        } else {
            rc = TWRC_FAILURE;
            cc = conditionCode_ = TWCC_BADDEST;
        }
    }
    pump_.callEnded();
    // A closed manager keeps no thread: the application may unload the library next.
    if (dat == DAT_PARENT && msg == MSG_CLOSEDSM && rc == TWRC_SUCCESS)
        pump_.stop();
    if (traceEnabled()) {
        json line;
        line["dg"] = dgName(dg & DG_MASK);
        line["dat"] = datName(dat);
        line["msg"] = msgName(msg);
        line["source"] = sourceName.empty() ? json() : json(sourceName);
        line["rc"] = rcName(rc);
        line["cc"] = ccName(cc);
        for (auto it = detail.begin(); it != detail.end(); ++it)
            line[it.key()] = it.value();
        traceWrite(line);
    }
    return rc;
}

TW_UINT16 DataSourceManager::managerCall(Lock &lock, pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, json &detail)
{
    auto fail = [this](uint16_t code) { conditionCode_ = code; return static_cast<TW_UINT16>(TWRC_FAILURE); };
    switch (dat) {
    case DAT_PARENT:
        return parent(origin, msg);
    case DAT_IDENTITY:
        if (state_ != 3)
            return fail(TWCC_SEQERROR);
        return identity(lock, msg, static_cast<pTW_IDENTITY>(data), detail);
    case DAT_STATUS: {
        if (msg != MSG_GET || !data)
            return fail(TWCC_BADVALUE);
        auto *status = static_cast<pTW_STATUS>(data);
        status->ConditionCode = conditionCode_;
        status->Reserved = 0;
        conditionCode_ = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    }
    case DAT_ENTRYPOINT: {
        if (msg != MSG_GET || !data)
            return fail(TWCC_BADVALUE);
        auto *entryPoint = static_cast<pTW_ENTRYPOINT>(data);
        entryPoint->Size = sizeof(TW_ENTRYPOINT);
        entryPoint->DSM_Entry = &DSM_Entry;
        entryPoint->DSM_MemAllocate = &memAllocate;
        entryPoint->DSM_MemFree = &memFree;
        entryPoint->DSM_MemLock = &memLock;
        entryPoint->DSM_MemUnlock = &memUnlock;
        return TWRC_SUCCESS;
    }
    default:
        // Source triplets need a destination.
        return fail(state_ == 3 ? TWCC_BADDEST : TWCC_SEQERROR);
    }
}

TW_UINT16 DataSourceManager::parent(pTW_IDENTITY origin, TW_UINT16 msg)
{
    if (msg == MSG_OPENDSM) {
        if (state_ != 2)
            return conditionCode_ = TWCC_SEQERROR, TWRC_FAILURE;
        if (!origin)
            return conditionCode_ = TWCC_BADVALUE, TWRC_FAILURE;
        if (origin->Id == 0)
            origin->Id = 1;
        if (origin->SupportedGroups & DF_APP2)
            origin->SupportedGroups |= DF_DSM2;
        application_ = *origin;
        profiles_ = loadProfiles();
        listing_.clear();
        listCursor_ = 0;
        state_ = 3;
        // Opened again after a close: SANE's devices are looked for anew from now on.
        SaneDeviceList &saneDevices = SaneDeviceList::instance();
        saneDevices.resume();
        if (profiles_.sane != SaneMode::Off)
            saneDevices.fetch();
        return TWRC_SUCCESS;
    }
    if (msg == MSG_CLOSEDSM) {
        if (state_ != 3 || !sources_.empty())
            return conditionCode_ = TWCC_SEQERROR, TWRC_FAILURE;
        state_ = 2;
        // The application is done with the manager: SANE ends now, while its backends are
        // intact, and never later from the library's teardown at process exit.
        SaneDeviceList::instance().endSane(driverPatience());
        return TWRC_SUCCESS;
    }
    return conditionCode_ = TWCC_BADPROTOCOL, TWRC_FAILURE;
}

std::vector<SaneListedDevice> DataSourceManager::saneListing(Lock &lock)
{
    if (profiles_.sane == SaneMode::Off)
        return {};
    std::vector<std::string> taken;
    for (const SourceProfile &profile : profiles_.sources)
        taken.push_back(profile.productName);
    // Network discovery may take a while: the manager's other work goes on meanwhile.
    lock.unlock();
    std::vector<SaneDeviceInfo> devices = SaneDeviceList::instance().devices(kSaneListWait);
    lock.lock();
    return nameSaneDevices(devices, taken);
}

void DataSourceManager::buildListing(Lock &lock)
{
    listing_.clear();
    // Listed sources are numbered from 1000 so that their Ids never meet those of open ones.
    uint32_t id = 1000;
    for (const SourceProfile &profile : profiles_.sources) {
        Listed entry;
        entry.identity = sourceIdentity(profile, id++);
        listing_.push_back(entry);
    }
    for (const SaneListedDevice &device : saneListing(lock)) {
        Listed entry;
        entry.identity = saneIdentity(device, id++);
        entry.isSane = true;
        entry.sane = device.device;
        listing_.push_back(entry);
    }
}

const DataSourceManager::Listed *DataSourceManager::defaultListed(Lock &lock)
{
    if (listing_.empty())
        buildListing(lock);
    for (const Listed &entry : listing_)
        if (sameName(entry.identity.ProductName, profiles_.defaultSource))
            return &entry;
    return listing_.empty() ? nullptr : &listing_.front();
}

TW_UINT16 DataSourceManager::identity(Lock &lock, TW_UINT16 msg, pTW_IDENTITY data, json &)
{
    if (!data)
        return conditionCode_ = TWCC_BADVALUE, TWRC_FAILURE;
    switch (msg) {
    case MSG_GETFIRST:
        profiles_ = loadProfiles();
        buildListing(lock);
        listCursor_ = 0;
        // fall through
    case MSG_GETNEXT:
        if (listCursor_ >= listing_.size())
            return TWRC_ENDOFLIST;
        *data = listing_[listCursor_++].identity;
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
    case MSG_USERSELECT: {
        const Listed *entry = defaultListed(lock);
        if (!entry)
            return conditionCode_ = TWCC_NODS, TWRC_FAILURE;
        *data = entry->identity;
        return TWRC_SUCCESS;
    }
    case MSG_OPENDS:
        return openSource(lock, data);
    case MSG_CLOSEDS:
        return closeSource(data);
    default:
        return conditionCode_ = TWCC_BADPROTOCOL, TWRC_FAILURE;
    }
}

bool DataSourceManager::isOpen(const std::string &productName) const
{
    for (const auto &open : sources_)
        if (sameName(open.second->identity().ProductName, productName))
            return true;
    return false;
}

TW_UINT16 DataSourceManager::openSource(Lock &lock, pTW_IDENTITY data)
{
    profiles_ = loadProfiles();
    std::string wanted = productOf(data);
    if (wanted.empty()) {
        const Listed *entry = defaultListed(lock);
        if (!entry)
            return conditionCode_ = TWCC_NODS, TWRC_FAILURE;
        wanted = productOf(&entry->identity);
    }
    const SourceProfile *profile = findSourceProfile(profiles_, wanted);
    if (!profile)
        return openSaneSource(lock, wanted, data);
    if (isOpen(profile->productName))
        return conditionCode_ = TWCC_MAXCONNECTIONS, TWRC_FAILURE;
    if (profile->openFailure)
        return conditionCode_ = profile->openFailure, TWRC_FAILURE;
    CapabilityMap caps;
    std::string error;
    buildCapabilities(*profile, caps, error); // the profile was checked when it was read
    const uint32_t id = nextSourceId_++;
    auto source = std::make_shared<VirtualSource>(id, *profile, std::move(caps));
    sources_[id] = source;
    *data = source->identity();
    return TWRC_SUCCESS;
}

TW_UINT16 DataSourceManager::openSaneSource(Lock &lock, const std::string &wanted, pTW_IDENTITY data)
{
    if (profiles_.sane == SaneMode::Off)
        return conditionCode_ = TWCC_NODS, TWRC_FAILURE;
    if (isOpen(wanted))
        return conditionCode_ = TWCC_MAXCONNECTIONS, TWRC_FAILURE;
    auto find = [&]() -> const Listed * {
        for (const Listed &entry : listing_)
            if (entry.isSane && sameName(entry.identity.ProductName, wanted))
                return &entry;
        return nullptr;
    };
    const Listed *entry = find();
    for (int attempt = 0;; ++attempt) {
        if (!entry) {
            // Not listed yet, or listed under a device name that has changed (a scanner plugged
            // in again gets a new one): ask SANE again.
            buildListing(lock);
            entry = find();
            if (!entry)
                return conditionCode_ = TWCC_NODS, TWRC_FAILURE;
        }
        const uint32_t id = nextSourceId_++;
        const Listed chosen = *entry;
        const SaneDeviceSettings settings = saneSettingsFor(profiles_, chosen.sane.name);
        auto sink = [this, id](uint32_t generation, const SourceEvent &event) {
            pump_.post(std::chrono::milliseconds(event.delayMs), [this, id, generation, event] { deliver(id, generation, event); });
        };
        std::shared_ptr<DataSource> source;
        // Opening a network scanner takes a while: the manager's other work goes on meanwhile.
        lock.unlock();
        const uint16_t code = openSaneDevice(id, chosen.sane, chosen.identity, settings, sink, source);
        lock.lock();
        if (code == TWCC_SUCCESS && isOpen(wanted)) {
            lock.unlock();
            source.reset(); // another thread opened it meanwhile
            lock.lock();
            return conditionCode_ = TWCC_MAXCONNECTIONS, TWRC_FAILURE;
        }
        if (code == TWCC_SUCCESS) {
            sources_[id] = source;
            *data = source->identity();
            return TWRC_SUCCESS;
        }
        if (code != TWCC_NODS || attempt > 0)
            return conditionCode_ = code, TWRC_FAILURE;
        entry = nullptr;
    }
}

TW_UINT16 DataSourceManager::closeSource(pTW_IDENTITY data)
{
    std::shared_ptr<DataSource> source = findSource(data);
    if (!source)
        return conditionCode_ = TWCC_BADDEST, TWRC_FAILURE;
    if (source->state() != 4)
        return conditionCode_ = TWCC_SEQERROR, TWRC_FAILURE;
    sources_.erase(source->identity().Id);
    return TWRC_SUCCESS;
}

std::shared_ptr<DataSource> DataSourceManager::findSource(pTW_IDENTITY dest)
{
    if (!dest)
        return nullptr;
    auto found = sources_.find(dest->Id);
    if (found != sources_.end())
        return found->second;
    return nullptr;
}

TW_UINT16 DataSourceManager::sourceCall(Lock &lock, std::shared_ptr<DataSource> source, TW_UINT32 dg, TW_UINT16 dat,
                                        TW_UINT16 msg, TW_MEMREF data, json &detail)
{
    DataSource &s = *source;
    auto fail = [&s](uint16_t code) { s.setConditionCode(code); return static_cast<TW_UINT16>(TWRC_FAILURE); };
    s.waitBefore(static_cast<uint16_t>(dg), dat, msg, lock);
    if (!sources_.count(s.identity().Id))
        return fail(TWCC_BADDEST); // closed by another thread while it waited
    const bool get = msg == MSG_GET;
    TW_UINT16 rc = TWRC_FAILURE;
    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_CAPABILITY:
            rc = s.capability(msg, static_cast<pTW_CAPABILITY>(data), detail);
            break;
        case DAT_USERINTERFACE: {
            const bool enable = msg == MSG_ENABLEDS || msg == MSG_ENABLEDSUIONLY;
            if (enable)
                profiles_ = loadProfiles();
            rc = s.userInterface(msg, static_cast<pTW_USERINTERFACE>(data), enable ? &profiles_ : nullptr);
            if (rc == TWRC_SUCCESS && enable)
                s.setApplicationWindow(static_cast<pTW_USERINTERFACE>(data)->hParent);
            if (rc == TWRC_SUCCESS && s.takeSynchronousXferReady() && s.eventDue(SourceEvent{MSG_XFERREADY, 0, 0}))
                deliverNow(lock, source, MSG_XFERREADY);
            break;
        }
        case DAT_EVENT:
            rc = msg == MSG_PROCESSEVENT ? s.processEvent(static_cast<pTW_EVENT>(data)) : fail(TWCC_BADPROTOCOL);
            if (rc == TWRC_DSEVENT)
                detail["message"] = msgName(static_cast<pTW_EVENT>(data)->TWMessage);
            break;
        case DAT_PENDINGXFERS:
            rc = s.pendingXfers(msg, static_cast<pTW_PENDINGXFERS>(data));
            if (rc == TWRC_SUCCESS)
                detail["count"] = static_cast<pTW_PENDINGXFERS>(data)->Count;
            break;
        case DAT_SETUPMEMXFER:
            rc = get ? s.setupMemXfer(static_cast<pTW_SETUPMEMXFER>(data)) : fail(TWCC_BADPROTOCOL);
            break;
        case DAT_SETUPFILEXFER:
            rc = s.setupFileXfer(msg, static_cast<pTW_SETUPFILEXFER>(data));
            if (rc == TWRC_SUCCESS)
                detail["fileName"] = static_cast<pTW_SETUPFILEXFER>(data)->FileName;
            break;
        case DAT_STATUS:
            if (!get || !data) {
                rc = fail(TWCC_BADVALUE);
            } else {
                static_cast<pTW_STATUS>(data)->ConditionCode = s.conditionCode();
                static_cast<pTW_STATUS>(data)->Reserved = 0;
                detail["status"] = ccName(s.conditionCode());
                s.setConditionCode(TWCC_SUCCESS);
                rc = TWRC_SUCCESS;
            }
            break;
        case DAT_CALLBACK:
        case DAT_CALLBACK2:
            if (msg != MSG_REGISTER_CALLBACK || !data) {
                rc = fail(TWCC_BADPROTOCOL);
            } else if (s.state() < 4) {
                rc = fail(TWCC_SEQERROR);
            } else {
                const TW_MEMREF proc = dat == DAT_CALLBACK ? static_cast<pTW_CALLBACK>(data)->CallBackProc
                                                           : static_cast<pTW_CALLBACK2>(data)->CallBackProc;
                const TW_UINTPTR refCon = dat == DAT_CALLBACK ? static_cast<pTW_CALLBACK>(data)->RefCon
                                                              : static_cast<pTW_CALLBACK2>(data)->RefCon;
                s.registerCallback(reinterpret_cast<TWAINCALLBACKPROC>(proc), refCon);
                rc = TWRC_SUCCESS;
            }
            break;
        case DAT_DEVICEEVENT:
            rc = get ? s.deviceEvent(static_cast<pTW_DEVICEEVENT>(data)) : fail(TWCC_BADPROTOCOL);
            break;
        default:
            rc = fail(TWCC_BADPROTOCOL);
            break;
        }
    } else if (dg == DG_IMAGE) {
        switch (dat) {
        case DAT_IMAGEINFO:
            rc = get ? s.imageInfo(static_cast<pTW_IMAGEINFO>(data)) : fail(TWCC_BADPROTOCOL);
            break;
        case DAT_IMAGELAYOUT:
            rc = s.imageLayout(msg, static_cast<pTW_IMAGELAYOUT>(data));
            break;
        case DAT_IMAGENATIVEXFER:
            if (!get) {
                rc = fail(TWCC_BADPROTOCOL);
                break;
            }
            rc = s.nativeTransfer(static_cast<pTW_HANDLE>(data));
            break;
        case DAT_IMAGEFILEXFER:
            if (!get) {
                rc = fail(TWCC_BADPROTOCOL);
                break;
            }
            rc = s.fileTransfer();
            break;
        case DAT_IMAGEMEMXFER:
        case DAT_IMAGEMEMFILEXFER:
            if (!get) {
                rc = fail(TWCC_BADPROTOCOL);
                break;
            }
            rc = s.memoryTransfer(static_cast<pTW_IMAGEMEMXFER>(data), dat == DAT_IMAGEMEMFILEXFER);
            break;
        default:
            rc = fail(TWCC_BADPROTOCOL);
            break;
        }
    } else {
        rc = fail(TWCC_BADPROTOCOL);
    }
    if (sources_.count(s.identity().Id))
        postEvents(s);
    return rc;
}

void DataSourceManager::postEvents(DataSource &source)
{
    const uint32_t id = source.identity().Id;
    const uint32_t generation = source.generation();
    for (const SourceEvent &event : source.takeScheduledEvents())
        pump_.post(std::chrono::milliseconds(event.delayMs), [this, id, generation, event] { deliver(id, generation, event); });
}

void DataSourceManager::deliver(uint32_t sourceId, uint32_t generation, SourceEvent event)
{
    Lock lock(mutex_);
    auto found = sources_.find(sourceId);
    if (found == sources_.end() || found->second->generation() != generation)
        return;
    std::shared_ptr<DataSource> source = found->second;
    if (!source->eventDue(event))
        return;
    deliverNow(lock, std::move(source), event.message);
}

void DataSourceManager::deliverNow(Lock &lock, std::shared_ptr<DataSource> source, uint16_t message)
{
    json line;
    line["event"] = msgName(message);
    line["source"] = source->productName();
    if (!source->hasCallback()) {
        source->queueForProcessEvent(message);
        wakeApplication(source->applicationWindow());
        line["delivery"] = "processEvent";
        traceWrite(line);
        return;
    }
    line["delivery"] = "callback";
    TW_IDENTITY origin = source->identity();
    TW_IDENTITY application = application_;
    TWAINCALLBACKPROC callback = source->callback();
    const TW_UINTPTR refCon = source->callbackRefCon();
    // The application may call back into the manager from its callback, and may close the
    // source there or before this thread runs again: the source must then go with its
    // MSG_CLOSEDS, not later on this thread, which would close its device behind the
    // application's back.
    source.reset();
    lock.unlock();
    traceWrite(line);
    callback(&origin, &application, DG_CONTROL, DAT_NULL, message, reinterpret_cast<TW_MEMREF>(refCon));
    lock.lock();
}

} // namespace twaindsm
