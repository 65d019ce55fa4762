#pragma once

// The platform seam of printing: the spooler and page drawing, one operation per call of the
// Windows spooler and GDI. Windows implements it with winspool and GDI; Linux with CUPS, where a
// document is a PDF sent as one IPP job. Plain C++ types only.

#include "printing/devmode.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What a printer reports about itself beyond its queue.
struct PrinterCondition {
    bool stopped = false;     // paused by a person at the queue; nothing prints until resumed
    bool offline = false;     // switched off, asleep or not reachable
    bool noPaper = false;
    bool jammed = false;
    bool doorOpen = false;
    bool tonerEmpty = false;  // toner, ink or another marker supply used up
    bool wakingUp = false;    // warming up, or leaving its power-saving sleep
    // An error the printer does not name (many drivers report paper out or a jam this way), or
    // one of the rarer ones (a full output bin): a person at the printer can see and fix it.
    bool needsAttention = false;
    bool acceptingJobs = true;

    bool operator==(const PrinterCondition& other) const
    {
        return stopped == other.stopped && offline == other.offline && noPaper == other.noPaper
            && jammed == other.jammed && doorOpen == other.doorOpen && tonerEmpty == other.tonerEmpty
            && wakingUp == other.wakingUp && needsAttention == other.needsAttention
            && acceptingJobs == other.acceptingJobs;
    }
    bool operator!=(const PrinterCondition& other) const { return !(*this == other); }
};

// PRINTER_INFO_2 as far as the agent reads it.
struct PrinterInfo {
    std::wstring driverName;
    std::wstring portName;
    int jobCount = 0;
    PrinterCondition condition;
};

// Job status bits of the Windows spooler (JOB_INFO_1 Status).
namespace JobStatus {
constexpr std::uint32_t Paused = 0x0001;
constexpr std::uint32_t Error = 0x0002;
constexpr std::uint32_t Deleting = 0x0004;
constexpr std::uint32_t Spooling = 0x0008;
constexpr std::uint32_t Printing = 0x0010;
constexpr std::uint32_t Offline = 0x0020;
constexpr std::uint32_t PaperOut = 0x0040;
constexpr std::uint32_t Printed = 0x0080;
constexpr std::uint32_t Deleted = 0x0100;
constexpr std::uint32_t BlockedByDeviceQueue = 0x0200;
constexpr std::uint32_t UserIntervention = 0x0400;
constexpr std::uint32_t Complete = 0x1000;
constexpr std::uint32_t Retained = 0x2000;
} // namespace JobStatus

// Printer status bits of the Windows spooler (PRINTER_INFO_2 Status), and the attribute of a
// queue set to work offline.
namespace PrinterStatus {
constexpr std::uint32_t Paused = 0x00000001;
constexpr std::uint32_t Error = 0x00000002;
constexpr std::uint32_t PendingDeletion = 0x00000004;
constexpr std::uint32_t PaperJam = 0x00000008;
constexpr std::uint32_t PaperOut = 0x00000010;
constexpr std::uint32_t ManualFeed = 0x00000020;
constexpr std::uint32_t PaperProblem = 0x00000040;
constexpr std::uint32_t Offline = 0x00000080;
constexpr std::uint32_t OutputBinFull = 0x00000800;
constexpr std::uint32_t NotAvailable = 0x00001000;
constexpr std::uint32_t WarmingUp = 0x00010000;
constexpr std::uint32_t NoToner = 0x00040000;
constexpr std::uint32_t UserIntervention = 0x00100000;
constexpr std::uint32_t DoorOpen = 0x00400000;
constexpr std::uint32_t ServerUnknown = 0x00800000;
constexpr std::uint32_t PowerSave = 0x01000000;
constexpr std::uint32_t WorkOfflineAttribute = 0x00000400;
} // namespace PrinterStatus

// What a printer's status bits and attributes say. Only a queue paused by a person is
// `stopped`: an error is something a person at the printer fixes, and the job waits for it.
PrinterCondition printerConditionOf(std::uint32_t status, std::uint32_t attributes);
// What a job's own status bits say about its printer (some drivers tell only the job).
PrinterCondition jobConditionOf(std::uint32_t status);

// How a job that left the queue ended, where the spooler can tell.
enum class JobOutcome { Unknown, Completed, Cancelled, Aborted };

// A paper size or a paper source as the driver names it (DC_PAPERS/DC_PAPERNAMES, DC_BINS/DC_BINNAMES);
// a paper also with its size in tenths of a millimetre (DC_PAPERSIZE), 0 when not known.
struct PrinterChoice {
    int id = 0;
    std::wstring name;
    int width = 0;
    int height = 0;
};

// One opened printer (OpenPrinterW); closed when destroyed.
class SpoolerPrinter {
public:
    virtual ~SpoolerPrinter() = default;

    // GetPrinterW level 2.
    virtual bool info(PrinterInfo* info) = 0;
    // EnumJobsW level 1: job id → status bits.
    virtual bool jobs(std::map<int, std::uint32_t>* jobs) = 0;
    // DocumentPropertiesW: the size of a device mode (≤ 0 on failure), the current one
    // (DM_OUT_BUFFER), validation in place (DM_IN_BUFFER | DM_OUT_BUFFER) and the driver's
    // preferences dialog seeded with a device mode (DM_IN_PROMPT …; true when confirmed).
    virtual int devModeSize() = 0;
    virtual bool currentDevMode(DevModeBuffer* devMode) = 0;
    virtual bool validateDevMode(DevModeBuffer* devMode) = 0;
    virtual bool promptDevMode(HWND parent, DevModeBuffer* devMode) = 0;
    // DeviceCapabilitiesW with DC_BINS/DC_BINNAMES and DC_PAPERS/DC_PAPERNAMES.
    virtual std::vector<PrinterChoice> bins(const DevModeBuffer& devMode) = 0;
    virtual std::vector<PrinterChoice> papers(const DevModeBuffer& devMode) = 0;
    // SetJobW JOB_CONTROL_CANCEL.
    virtual bool cancelJob(int jobId) = 0;
    // How a job that is no longer queued ended.
    virtual JobOutcome jobOutcome(int jobId) = 0;
};

enum class ImageEncoding { None, Jpeg, Png };

// One page image. `pixels` are rows of 32-bit 0xffRRGGBB values; they may be left null when the
// document embeds this encoding as it stands (`embedsEncoded`), which then needs only the size.
struct PageImage {
    int width = 0;
    int height = 0;
    const std::uint32_t* pixels = nullptr;
    int bytesPerLine = 0;
    const unsigned char* encoded = nullptr; // the file's bytes, when the caller has them
    std::size_t encodedSize = 0;
    ImageEncoding encoding = ImageEncoding::None;
    bool halfTurn = false; // drawn upside down
};

// The drawable part of a page (HORZRES × VERTRES), in device pixels.
struct PrintableArea {
    int width = 0;
    int height = 0;
};

// A printer DC with one document on it (CreateDCW … DeleteDC).
class SpoolerDocument {
public:
    virtual ~SpoolerDocument() = default;

    virtual PrintableArea printableArea() const = 0;
    // Whether drawImage uses the encoded bytes of this encoding without the pixels.
    virtual bool embedsEncoded(ImageEncoding encoding) const = 0;
    // StartDocW: the spooler job id (> 0), or ≤ 0 on failure.
    virtual int startDoc(const std::wstring& name) = 0;
    virtual bool startPage() = 0;
    // StretchBlt of the whole image to the rectangle (device pixels of the printable area).
    virtual bool drawImage(const PageImage& page, int x, int y, int width, int height) = 0;
    virtual bool endPage() = 0;
    // True when the document was handed over as a whole.
    virtual bool endDoc() = 0;
    virtual void abortDoc() = 0;
};

class PrintSpooler {
public:
    virtual ~PrintSpooler() = default;

    // GetDefaultPrinterW.
    virtual bool defaultPrinter(std::wstring* name) = 0;
    // OpenPrinterW; null when the printer cannot be opened.
    virtual std::unique_ptr<SpoolerPrinter> openPrinter(const std::wstring& name) = 0;
    // CreateDCW("WINSPOOL", printer, null, devMode); null on failure.
    virtual std::unique_ptr<SpoolerDocument> createDocument(const std::wstring& printer,
                                                            const DevModeBuffer& devMode) = 0;
};

// The spooler of this platform (printspooler_cups.cpp, printspooler_win.cpp).
std::shared_ptr<PrintSpooler> createPlatformPrintSpooler();
