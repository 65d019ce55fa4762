#include "data_source.h"

#include "platform.h"

namespace twaindsm {

uint16_t DataSource::processEvent(TW_EVENT *event)
{
    if (!event)
        return fail(TWCC_BADVALUE);
    if (state() < 5)
        return sequenceError();
    if (waitingMessages_.empty() || !mayCarrySourceMessage(event->pEvent)) {
        event->TWMessage = MSG_NULL;
        return TWRC_NOTDSEVENT;
    }
    event->TWMessage = waitingMessages_.front();
    waitingMessages_.pop_front();
    return TWRC_DSEVENT;
}

std::vector<SourceEvent> DataSource::takeScheduledEvents()
{
    std::vector<SourceEvent> events;
    events.swap(scheduled_);
    return events;
}

void DataSource::schedule(uint16_t message, int delayMs, uint32_t deviceEvent)
{
    SourceEvent event;
    event.message = message;
    event.delayMs = delayMs;
    event.deviceEvent = deviceEvent;
    scheduled_.push_back(event);
}

void DataSource::registerCallback(TWAINCALLBACKPROC proc, TW_UINTPTR refCon)
{
    callback_ = proc;
    refCon_ = refCon;
}

} // namespace twaindsm
