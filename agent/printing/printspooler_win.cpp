// The print spooler over winspool and GDI: a printer is an opened spooler printer, a document
// a printer DC. Every handle is owned by one object and closed with it. Qt-free.

#include "printing/printspooler.h"

#include <windows.h>

#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The bits the shared reading of statuses names are Windows' own.
static_assert(PrinterStatus::Paused == PRINTER_STATUS_PAUSED && PrinterStatus::Error == PRINTER_STATUS_ERROR
              && PrinterStatus::PendingDeletion == PRINTER_STATUS_PENDING_DELETION
              && PrinterStatus::PaperJam == PRINTER_STATUS_PAPER_JAM && PrinterStatus::PaperOut == PRINTER_STATUS_PAPER_OUT
              && PrinterStatus::ManualFeed == PRINTER_STATUS_MANUAL_FEED
              && PrinterStatus::PaperProblem == PRINTER_STATUS_PAPER_PROBLEM
              && PrinterStatus::Offline == PRINTER_STATUS_OFFLINE
              && PrinterStatus::OutputBinFull == PRINTER_STATUS_OUTPUT_BIN_FULL
              && PrinterStatus::NotAvailable == PRINTER_STATUS_NOT_AVAILABLE
              && PrinterStatus::WarmingUp == PRINTER_STATUS_WARMING_UP && PrinterStatus::NoToner == PRINTER_STATUS_NO_TONER
              && PrinterStatus::UserIntervention == PRINTER_STATUS_USER_INTERVENTION
              && PrinterStatus::DoorOpen == PRINTER_STATUS_DOOR_OPEN
              && PrinterStatus::ServerUnknown == PRINTER_STATUS_SERVER_UNKNOWN
              && PrinterStatus::PowerSave == PRINTER_STATUS_POWER_SAVE
              && PrinterStatus::WorkOfflineAttribute == PRINTER_ATTRIBUTE_WORK_OFFLINE);
static_assert(JobStatus::Paused == JOB_STATUS_PAUSED && JobStatus::Error == JOB_STATUS_ERROR
              && JobStatus::Deleting == JOB_STATUS_DELETING && JobStatus::Spooling == JOB_STATUS_SPOOLING
              && JobStatus::Printing == JOB_STATUS_PRINTING && JobStatus::Offline == JOB_STATUS_OFFLINE
              && JobStatus::PaperOut == JOB_STATUS_PAPEROUT && JobStatus::Printed == JOB_STATUS_PRINTED
              && JobStatus::Deleted == JOB_STATUS_DELETED && JobStatus::BlockedByDeviceQueue == JOB_STATUS_BLOCKED_DEVQ
              && JobStatus::UserIntervention == JOB_STATUS_USER_INTERVENTION
              && JobStatus::Complete == JOB_STATUS_COMPLETE);

// A DeviceCapabilitiesW list of fixed-size entries: its count, then the entries.
template <typename Entry>
std::vector<Entry> capabilityList(const std::wstring& printer, const std::wstring& port, WORD capability,
                                  const DEVMODEW* devMode)
{
    const int count = DeviceCapabilitiesW(printer.c_str(), port.c_str(), capability, nullptr, devMode);
    if (count <= 0)
        return {};
    std::vector<Entry> entries(static_cast<size_t>(count));
    if (DeviceCapabilitiesW(printer.c_str(), port.c_str(), capability, reinterpret_cast<LPWSTR>(entries.data()), devMode)
        <= 0)
        return {};
    return entries;
}

// Ids (WORD each) and their names (fixed-width, not always terminated).
template <size_t NameChars>
std::vector<PrinterChoice> choices(const std::wstring& printer, const std::wstring& port, WORD idsCapability,
                                   WORD namesCapability, const DEVMODEW* devMode)
{
    struct Name {
        wchar_t text[NameChars];
    };
    const std::vector<WORD> ids = capabilityList<WORD>(printer, port, idsCapability, devMode);
    const std::vector<Name> names = capabilityList<Name>(printer, port, namesCapability, devMode);
    std::vector<PrinterChoice> result;
    for (size_t i = 0; i < ids.size(); ++i) {
        PrinterChoice choice;
        choice.id = ids[i];
        if (i < names.size())
            choice.name.assign(names[i].text, wcsnlen(names[i].text, NameChars));
        result.push_back(std::move(choice));
    }
    return result;
}

class WinPrinter : public SpoolerPrinter {
public:
    WinPrinter(HANDLE handle, std::wstring name)
        : handle(handle)
        , name(std::move(name))
    {
    }
    ~WinPrinter() override { ClosePrinter(handle); }

    bool info(PrinterInfo* info) override
    {
        DWORD needed = 0;
        GetPrinterW(handle, 2, nullptr, 0, &needed);
        if (needed == 0)
            return false;
        std::vector<unsigned char> buffer(needed, 0);
        if (!GetPrinterW(handle, 2, buffer.data(), needed, &needed))
            return false;
        const auto* printer = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
        info->driverName = printer->pDriverName ? printer->pDriverName : L"";
        info->portName = printer->pPortName ? printer->pPortName : L"";
        info->jobCount = int(printer->cJobs);
        info->condition = printerConditionOf(printer->Status, printer->Attributes);
        port = info->portName;
        return true;
    }

    bool jobs(std::map<int, std::uint32_t>* jobs) override
    {
        DWORD needed = 0;
        DWORD count = 0;
        constexpr DWORD kAllJobs = 0xffff;
        EnumJobsW(handle, 0, kAllJobs, 1, nullptr, 0, &needed, &count);
        if (needed == 0)
            return GetLastError() == ERROR_SUCCESS || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        std::vector<unsigned char> buffer(needed, 0);
        if (!EnumJobsW(handle, 0, kAllJobs, 1, buffer.data(), needed, &needed, &count))
            return false;
        const auto* entries = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            (*jobs)[int(entries[i].JobId)] = entries[i].Status;
        return true;
    }

    int devModeSize() override { return DocumentPropertiesW(nullptr, handle, printerName(), nullptr, nullptr, 0); }

    bool currentDevMode(DevModeBuffer* devMode) override
    {
        const int size = devModeSize();
        if (size < int(DevModeLayout::kPublicSize))
            return false;
        DevModeBuffer current{size_t(size)};
        if (DocumentPropertiesW(nullptr, handle, printerName(), current.get(), nullptr, DM_OUT_BUFFER) != IDOK)
            return false;
        *devMode = std::move(current);
        return true;
    }

    bool validateDevMode(DevModeBuffer* devMode) override { return exchange(nullptr, devMode, 0); }

    bool promptDevMode(HWND parent, DevModeBuffer* devMode) override
    {
        return exchange(parent, devMode, DM_IN_PROMPT);
    }

    std::vector<PrinterChoice> bins(const DevModeBuffer& devMode) override
    {
        constexpr size_t kBinNameChars = 24;
        return choices<kBinNameChars>(name, portName(), DC_BINS, DC_BINNAMES, devMode.get());
    }

    std::vector<PrinterChoice> papers(const DevModeBuffer& devMode) override
    {
        constexpr size_t kPaperNameChars = 64;
        const std::wstring port = portName();
        std::vector<PrinterChoice> papers = choices<kPaperNameChars>(name, port, DC_PAPERS, DC_PAPERNAMES, devMode.get());
        // Each paper's width and height in tenths of a millimetre, in the order of the ids.
        const std::vector<POINT> sizes = capabilityList<POINT>(name, port, DC_PAPERSIZE, devMode.get());
        if (sizes.size() == papers.size()) {
            for (size_t i = 0; i < papers.size(); ++i) {
                papers[i].width = int(sizes[i].x);
                papers[i].height = int(sizes[i].y);
            }
        }
        return papers;
    }

    // A job that has printed is not cancelled, so that it counts as printed: one kept in the
    // queue as printed is left alone, and for one that has left the queue SetJobW fails
    // (ERROR_INVALID_PARAMETER).
    bool cancelJob(int jobId) override
    {
        std::uint32_t status = 0;
        if (jobStatus(jobId, &status) && (status & (JobStatus::Printed | JobStatus::Complete)) != 0)
            return false;
        return SetJobW(handle, DWORD(jobId), 0, nullptr, JOB_CONTROL_DELETE) != FALSE;
    }

    JobOutcome jobOutcome(int jobId) override
    {
        std::uint32_t status = 0;
        if (!jobStatus(jobId, &status))
            return JobOutcome::Unknown; // the spooler forgot it: nothing more to tell
        if (status & (JobStatus::Deleted | JobStatus::Deleting))
            return JobOutcome::Cancelled;
        if (status & JobStatus::Error)
            return JobOutcome::Aborted;
        if (status & (JobStatus::Printed | JobStatus::Complete))
            return JobOutcome::Completed;
        return JobOutcome::Unknown;
    }

private:
    LPWSTR printerName() { return name.data(); }

    // GetJobW level 1; false when the spooler no longer knows the job.
    bool jobStatus(int jobId, std::uint32_t* status)
    {
        DWORD needed = 0;
        GetJobW(handle, DWORD(jobId), 1, nullptr, 0, &needed);
        if (needed == 0)
            return false;
        std::vector<unsigned char> buffer(needed, 0);
        if (!GetJobW(handle, DWORD(jobId), 1, buffer.data(), needed, &needed))
            return false;
        *status = reinterpret_cast<const JOB_INFO_1W*>(buffer.data())->Status;
        return true;
    }

    std::wstring portName()
    {
        if (port.empty()) {
            PrinterInfo ignored;
            info(&ignored);
        }
        return port;
    }

    // DocumentPropertiesW with the device mode in and the driver's answer out, in a block of the
    // driver's size; `prompt` adds the driver's dialog. The block is replaced only on IDOK.
    bool exchange(HWND parent, DevModeBuffer* devMode, DWORD prompt)
    {
        if (!devMode->get())
            return false;
        const int size = devModeSize();
        if (size < int(DevModeLayout::kPublicSize))
            return false;
        DevModeBuffer answer{size_t(size)};
        if (DocumentPropertiesW(static_cast<HWND>(parent), handle, printerName(), answer.get(), devMode->get(),
                                DM_IN_BUFFER | DM_OUT_BUFFER | prompt)
            != IDOK)
            return false;
        *devMode = std::move(answer);
        return true;
    }

    HANDLE handle;
    std::wstring name;
    std::wstring port;
};

class WinDocument : public SpoolerDocument {
public:
    explicit WinDocument(HDC dc) : dc(dc) {}
    ~WinDocument() override
    {
        if (started && !ended)
            AbortDoc(dc);
        DeleteDC(dc);
    }

    PrintableArea printableArea() const override
    {
        return {GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, VERTRES)};
    }

    // GDI draws pixels: every page is decoded first.
    bool embedsEncoded(ImageEncoding) const override { return false; }

    int startDoc(const std::wstring& name) override
    {
        DOCINFOW info{};
        info.cbSize = sizeof info;
        info.lpszDocName = name.c_str();
        const int job = StartDocW(dc, &info);
        started = job > 0;
        return job;
    }

    bool startPage() override { return StartPage(dc) > 0; }

    bool drawImage(const PageImage& page, int x, int y, int width, int height) override
    {
        if (!page.pixels || page.width <= 0 || page.height <= 0)
            return false;
        // The rows as GDI takes them: 32-bit, top row first, without padding.
        std::vector<std::uint32_t> rows(size_t(page.width) * size_t(page.height));
        for (int row = 0; row < page.height; ++row) {
            const auto* source = reinterpret_cast<const std::uint32_t*>(
                reinterpret_cast<const unsigned char*>(page.pixels) + size_t(row) * size_t(page.bytesPerLine));
            std::copy(source, source + page.width, rows.begin() + std::ptrdiff_t(size_t(row) * size_t(page.width)));
        }
        if (page.halfTurn)
            std::reverse(rows.begin(), rows.end()); // turned upside down: the last pixel first
        BITMAPINFO bitmap{};
        bitmap.bmiHeader.biSize = sizeof bitmap.bmiHeader;
        bitmap.bmiHeader.biWidth = page.width;
        bitmap.bmiHeader.biHeight = -page.height;
        bitmap.bmiHeader.biPlanes = 1;
        bitmap.bmiHeader.biBitCount = 32;
        bitmap.bmiHeader.biCompression = BI_RGB;
        return StretchDIBits(dc, x, y, width, height, 0, 0, page.width, page.height, rows.data(), &bitmap,
                             DIB_RGB_COLORS, SRCCOPY)
            != 0;
    }

    bool endPage() override { return EndPage(dc) > 0; }

    bool endDoc() override
    {
        ended = true;
        return EndDoc(dc) > 0;
    }

    void abortDoc() override
    {
        if (started && !ended)
            AbortDoc(dc);
        ended = true;
    }

private:
    HDC dc;
    bool started = false;
    bool ended = false;
};

class WinSpooler : public PrintSpooler {
public:
    bool defaultPrinter(std::wstring* name) override
    {
        DWORD length = 0;
        GetDefaultPrinterW(nullptr, &length);
        if (length == 0)
            return false;
        std::wstring found(length, L'\0');
        if (!GetDefaultPrinterW(found.data(), &length))
            return false;
        found.resize(wcsnlen(found.c_str(), found.size()));
        *name = found;
        return !name->empty();
    }

    std::unique_ptr<SpoolerPrinter> openPrinter(const std::wstring& name) override
    {
        HANDLE handle = nullptr;
        std::wstring printer = name;
        if (!OpenPrinterW(printer.data(), &handle, nullptr))
            return nullptr;
        return std::make_unique<WinPrinter>(handle, name);
    }

    std::unique_ptr<SpoolerDocument> createDocument(const std::wstring& printer, const DevModeBuffer& devMode) override
    {
        HDC dc = CreateDCW(L"WINSPOOL", printer.c_str(), nullptr, devMode.get());
        if (!dc)
            return nullptr;
        return std::make_unique<WinDocument>(dc);
    }
};

} // namespace

std::shared_ptr<PrintSpooler> createPlatformPrintSpooler()
{
    return std::make_shared<WinSpooler>();
}
