// The Windows spooler's status bits read as a printer's condition. Plain integers only, so the
// reading is the same wherever the bits come from.
#include "printing/printspooler.h"

namespace {

bool any(std::uint32_t bits, std::uint32_t mask)
{
    return (bits & mask) != 0;
}

} // namespace

PrinterCondition printerConditionOf(std::uint32_t status, std::uint32_t attributes)
{
    using namespace PrinterStatus;
    PrinterCondition condition;
    condition.stopped = any(status, Paused);
    condition.offline = any(status, Offline | NotAvailable | ServerUnknown) || any(attributes, WorkOfflineAttribute);
    // A manual feed waits for a sheet to be put in.
    condition.noPaper = any(status, PaperOut | PaperProblem | ManualFeed);
    condition.jammed = any(status, PaperJam);
    condition.doorOpen = any(status, DoorOpen);
    condition.tonerEmpty = any(status, NoToner);
    condition.wakingUp = any(status, WarmingUp | PowerSave);
    condition.needsAttention = any(status, Error | UserIntervention | OutputBinFull);
    condition.acceptingJobs = !any(status, PendingDeletion);
    return condition;
}

PrinterCondition jobConditionOf(std::uint32_t status)
{
    PrinterCondition condition;
    condition.offline = any(status, JobStatus::Offline);
    condition.noPaper = any(status, JobStatus::PaperOut);
    condition.needsAttention = any(status, JobStatus::Error | JobStatus::UserIntervention | JobStatus::BlockedByDeviceQueue);
    return condition;
}
