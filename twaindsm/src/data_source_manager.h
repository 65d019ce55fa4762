// The data source manager: its own triplets (DAT_PARENT, DAT_IDENTITY, DAT_STATUS,
// DAT_ENTRYPOINT, DAT_CALLBACK/2) and the routing of every other triplet to a virtual source.
#pragma once

#include "event_pump.h"
#include "profile.h"
#include "twain.h"
#include "virtual_source.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>

namespace twaindsm {

class DataSourceManager {
public:
    static DataSourceManager &instance();

    TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

private:
    DataSourceManager() = default;
    ~DataSourceManager() { pump_.stop(); } // before the sources the event thread looks at go
    using Lock = std::unique_lock<std::mutex>;

    TW_UINT16 managerCall(Lock &lock, pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, nlohmann::json &detail);
    TW_UINT16 parent(pTW_IDENTITY origin, TW_UINT16 msg);
    TW_UINT16 identity(TW_UINT16 msg, pTW_IDENTITY data, nlohmann::json &detail);
    TW_UINT16 openSource(pTW_IDENTITY data);
    TW_UINT16 closeSource(pTW_IDENTITY data);
    TW_UINT16 sourceCall(Lock &lock, std::shared_ptr<VirtualSource> source, TW_UINT32 dg, TW_UINT16 dat,
                         TW_UINT16 msg, TW_MEMREF data, nlohmann::json &detail);
    std::shared_ptr<VirtualSource> findSource(pTW_IDENTITY dest);
    const SourceProfile *profileNamed(const std::string &name) const;
    int defaultIndex() const;
    TW_IDENTITY listedIdentity(int index) const;

    // Hands the events a source scheduled to the event thread.
    void postEvents(VirtualSource &source);
    // On the event thread (or inside MSG_ENABLEDS): delivers one event if it still applies.
    void deliver(uint32_t sourceId, uint32_t generation, SourceEvent event);
    void deliverNow(Lock &lock, std::shared_ptr<VirtualSource> source, uint16_t message);

    std::mutex mutex_;
    EventPump pump_;
    int state_ = 2;                 // 2 loaded, 3 open
    uint16_t conditionCode_ = TWCC_SUCCESS;
    TW_IDENTITY application_{};
    ProfileSet profiles_;
    int listCursor_ = 0;
    uint32_t nextSourceId_ = 2;
    std::map<uint32_t, std::shared_ptr<VirtualSource>> sources_;
};

} // namespace twaindsm
