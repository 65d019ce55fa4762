// The data source manager: its own triplets (DAT_PARENT, DAT_IDENTITY, DAT_STATUS,
// DAT_ENTRYPOINT, DAT_CALLBACK/2) and the routing of every other triplet to a source: a virtual
// scanner of the profile or a SANE device.
#pragma once

#include "data_source.h"
#include "event_pump.h"
#include "profile.h"
#include "sane_devices.h"
#include "twain.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace twaindsm {

class DataSourceManager {
public:
    static DataSourceManager &instance();

    TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

private:
    DataSourceManager() = default;
    ~DataSourceManager() { pump_.unload(); } // before the sources the event thread looks at go
    using Lock = std::unique_lock<std::mutex>;

    TW_UINT16 managerCall(Lock &lock, pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, nlohmann::json &detail);
    TW_UINT16 parent(pTW_IDENTITY origin, TW_UINT16 msg);
    TW_UINT16 identity(Lock &lock, TW_UINT16 msg, pTW_IDENTITY data, nlohmann::json &detail);
    TW_UINT16 openSource(Lock &lock, pTW_IDENTITY data);
    TW_UINT16 closeSource(pTW_IDENTITY data);
    TW_UINT16 openSaneSource(Lock &lock, const std::string &wanted, pTW_IDENTITY data);
    TW_UINT16 sourceCall(Lock &lock, std::shared_ptr<DataSource> source, TW_UINT32 dg, TW_UINT16 dat,
                         TW_UINT16 msg, TW_MEMREF data, nlohmann::json &detail);
    std::shared_ptr<DataSource> findSource(pTW_IDENTITY dest);
    bool isOpen(const std::string &productName) const;

    // The sources MSG_GETFIRST lists: the profile's virtual ones, then the SANE devices.
    struct Listed {
        TW_IDENTITY identity{};
        bool isSane = false;
        SaneDeviceInfo sane;
    };
    void buildListing(Lock &lock);
    // The SANE devices (waiting a bounded time for the background fetch), with their names.
    std::vector<SaneListedDevice> saneListing(Lock &lock);
    // The profile's default, else the first listed (listing first when nothing is).
    const Listed *defaultListed(Lock &lock);

    // Hands the events a source scheduled to the event thread.
    void postEvents(DataSource &source);
    // On the event thread (or inside MSG_ENABLEDS): delivers one event if it still applies.
    void deliver(uint32_t sourceId, uint32_t generation, SourceEvent event);
    void deliverNow(Lock &lock, std::shared_ptr<DataSource> source, uint16_t message);

    std::mutex mutex_;
    EventPump pump_;
    int state_ = 2;                 // 2 loaded, 3 open
    uint16_t conditionCode_ = TWCC_SUCCESS;
    TW_IDENTITY application_{};
    ProfileSet profiles_;
    std::vector<Listed> listing_;
    size_t listCursor_ = 0;
    uint32_t nextSourceId_ = 2;
    std::map<uint32_t, std::shared_ptr<DataSource>> sources_;
};

} // namespace twaindsm
