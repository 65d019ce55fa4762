// The print spooler over CUPS: a printer is a CUPS queue, a document is a PDF written with
// cairo and sent as one IPP job. Every printer handle and document has its own connection to
// the server, so any thread may use them.

#include "printing/devmodedialog.h"
#include "printing/ippdevmode.h"
#include "printing/printspooler.h"

#include <QString>

#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr double kIoTimeoutSeconds = 5.0;
constexpr double kPointsPerDevicePixel = 72.0 / IppDevMode::kDeviceDpi;

const char* const kPrinterAttributes[] = {
    "copies-default",
    "copies-supported",
    "device-uri",
    "media-bottom-margin-supported",
    "media-col-database",
    "media-col-default",
    "media-default",
    "media-left-margin-supported",
    "media-right-margin-supported",
    "media-source-supported",
    "media-supported",
    "media-top-margin-supported",
    "orientation-requested-default",
    "print-color-mode-default",
    "print-color-mode-supported",
    "printer-is-accepting-jobs",
    "printer-make-and-model",
    "printer-state",
    "printer-state-reasons",
    "queued-job-count",
    "sides-default",
    "sides-supported",
};

std::string utf8(const std::wstring& text)
{
    return QString::fromStdWString(text).toStdString();
}

std::wstring wide(const char* text)
{
    return text ? QString::fromUtf8(text).toStdWString() : std::wstring();
}

struct HttpCloser {
    void operator()(http_t* http) const { httpClose(http); }
};
using Connection = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

// A connection to the configured server that gives up after a few seconds without an answer.
Connection connectToServer()
{
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                kConnectTimeoutMs, nullptr);
    if (http)
        httpSetTimeout(http, kIoTimeoutSeconds, nullptr, nullptr);
    return Connection(http);
}

std::string printerUri(const std::string& name)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", name.c_str());
    return uri;
}

bool succeeded()
{
    return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
}

std::vector<std::string> keywords(ipp_t* ipp, const char* name)
{
    std::vector<std::string> values;
    if (ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO)) {
        for (int i = 0; i < ippGetCount(attr); ++i) {
            if (const char* value = ippGetString(attr, i, nullptr))
                values.emplace_back(value);
        }
    }
    return values;
}

std::string keyword(ipp_t* ipp, const char* name)
{
    ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? value : std::string();
}

int integer(ipp_t* ipp, const char* name, int fallback)
{
    ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
    if (!attr)
        return fallback;
    const ipp_tag_t tag = ippGetValueTag(attr);
    return tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM ? ippGetInteger(attr, 0) : fallback;
}

int largestInteger(ipp_t* ipp, const char* name)
{
    int largest = 0;
    if (ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_INTEGER)) {
        for (int i = 0; i < ippGetCount(attr); ++i)
            largest = std::max(largest, ippGetInteger(attr, i));
    }
    return largest;
}

IppMediaEntry mediaEntry(ipp_t* col)
{
    IppMediaEntry entry;
    if (ipp_attribute_t* size = ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION)) {
        ipp_t* dims = ippGetCollection(size, 0);
        entry.width = integer(dims, "x-dimension", 0);
        entry.height = integer(dims, "y-dimension", 0);
    }
    entry.margins.left = integer(col, "media-left-margin", 0);
    entry.margins.top = integer(col, "media-top-margin", 0);
    entry.margins.right = integer(col, "media-right-margin", 0);
    entry.margins.bottom = integer(col, "media-bottom-margin", 0);
    return entry;
}

IppPrinterCapabilities capabilitiesOf(ipp_t* attrs)
{
    IppPrinterCapabilities caps;
    caps.media = keywords(attrs, "media-supported");
    caps.mediaDefault = keyword(attrs, "media-default");
    if (ipp_attribute_t* database = ippFindAttribute(attrs, "media-col-database", IPP_TAG_BEGIN_COLLECTION)) {
        for (int i = 0; i < ippGetCount(database); ++i)
            caps.mediaDatabase.push_back(mediaEntry(ippGetCollection(database, i)));
    }
    caps.marginsSupported.left = largestInteger(attrs, "media-left-margin-supported");
    caps.marginsSupported.top = largestInteger(attrs, "media-top-margin-supported");
    caps.marginsSupported.right = largestInteger(attrs, "media-right-margin-supported");
    caps.marginsSupported.bottom = largestInteger(attrs, "media-bottom-margin-supported");
    caps.sources = keywords(attrs, "media-source-supported");
    if (ipp_attribute_t* col = ippFindAttribute(attrs, "media-col-default", IPP_TAG_BEGIN_COLLECTION))
        caps.sourceDefault = keyword(ippGetCollection(col, 0), "media-source");
    caps.sides = keywords(attrs, "sides-supported");
    caps.sidesDefault = keyword(attrs, "sides-default");
    caps.colorModes = keywords(attrs, "print-color-mode-supported");
    caps.colorModeDefault = keyword(attrs, "print-color-mode-default");
    caps.copiesDefault = integer(attrs, "copies-default", 1);
    if (ipp_attribute_t* copies = ippFindAttribute(attrs, "copies-supported", IPP_TAG_RANGE)) {
        int lower = 1;
        caps.copiesMax = ippGetRange(copies, 0, &lower);
    }
    caps.orientationDefault = integer(attrs, "orientation-requested-default", 3);
    return caps;
}

PrinterCondition conditionOf(ipp_t* attrs)
{
    PrinterCondition condition;
    condition.stopped = integer(attrs, "printer-state", IPP_PSTATE_IDLE) == IPP_PSTATE_STOPPED;
    if (ipp_attribute_t* accepting = ippFindAttribute(attrs, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
        condition.acceptingJobs = ippGetBoolean(accepting, 0);
    for (std::string reason : keywords(attrs, "printer-state-reasons")) {
        std::string severity;
        for (const char* suffix : {"-error", "-warning", "-report"}) {
            const std::size_t length = std::strlen(suffix);
            if (reason.size() > length && reason.compare(reason.size() - length, length, suffix) == 0) {
                severity = suffix;
                reason.resize(reason.size() - length);
                break;
            }
        }
        if (reason == "offline" || reason == "shutdown")
            condition.offline = true;
        else if (reason == "media-empty" || reason == "media-needed")
            condition.noPaper = true;
        else if (reason == "media-jam")
            condition.jammed = true;
        else if (reason == "door-open" || reason == "cover-open" || reason == "interlock-open")
            condition.doorOpen = true;
        else if (reason == "toner-empty" || reason == "marker-supply-empty")
            condition.tonerEmpty = true;
        else if (reason == "fuser-under-temp")
            condition.wakingUp = true;
        else if (severity == "-error" || (reason == "other" && severity.empty()))
            condition.needsAttention = true; // an error of another name: a person has to look
    }
    return condition;
}

// The attributes of a queue, or null when it does not answer.
IppMessage fetchPrinterAttributes(http_t* http, const std::string& name)
{
    if (name.empty())
        return nullptr;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(name).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(sizeof(kPrinterAttributes) / sizeof(*kPrinterAttributes)), nullptr, kPrinterAttributes);
    IppMessage response(cupsDoRequest(http, request, "/"));
    if (!response || !succeeded())
        return nullptr;
    return response;
}

std::uint32_t statusBits(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_HELD:
        return JobStatus::Paused;
    case IPP_JSTATE_PROCESSING:
        return JobStatus::Printing;
    case IPP_JSTATE_STOPPED:
        return JobStatus::Printing | JobStatus::Error;
    default:
        return 0;
    }
}

class CupsPrinter : public SpoolerPrinter {
public:
    CupsPrinter(Connection http, std::string name, IppMessage attrs)
        : http(std::move(http))
        , name(std::move(name))
        , attrs(std::move(attrs))
        , caps(capabilitiesOf(this->attrs.get()))
    {
    }

    bool info(PrinterInfo* info) override
    {
        info->driverName = wide(keyword(attrs.get(), "printer-make-and-model").c_str());
        info->portName = wide(keyword(attrs.get(), "device-uri").c_str());
        info->jobCount = integer(attrs.get(), "queued-job-count", 0);
        info->condition = conditionOf(attrs.get());
        return true;
    }

    bool jobs(std::map<int, std::uint32_t>* jobs) override
    {
        cups_job_t* list = nullptr;
        const int count = cupsGetJobs2(http.get(), &list, name.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
        if (count < 0 || !succeeded()) {
            cupsFreeJobs(std::max(count, 0), list);
            return false;
        }
        for (int i = 0; i < count; ++i)
            (*jobs)[list[i].id] = statusBits(list[i].state);
        cupsFreeJobs(count, list);
        return true;
    }

    int devModeSize() override { return int(DevModeLayout::kPublicSize); }

    bool currentDevMode(DevModeBuffer* devMode) override
    {
        *devMode = IppDevMode::currentDevMode(caps, wide(name.c_str()));
        return true;
    }

    bool validateDevMode(DevModeBuffer* devMode) override { return IppDevMode::validate(caps, devMode); }

    bool promptDevMode(HWND parent, DevModeBuffer* devMode) override
    {
        DevModeDialog::Choices choices;
        choices.papers = IppDevMode::papers(caps);
        choices.bins = IppDevMode::bins(caps);
        choices.longEdge = IppDevMode::supportsSides(caps, DMDUP_VERTICAL);
        choices.shortEdge = IppDevMode::supportsSides(caps, DMDUP_HORIZONTAL);
        choices.color = IppDevMode::supportsColor(caps);
        // Off Windows a window handle is the QWidget it belongs to.
        return DevModeDialog::edit(static_cast<QWidget*>(parent), QString::fromStdString(name), choices, devMode);
    }

    std::vector<PrinterChoice> bins(const DevModeBuffer&) override { return IppDevMode::bins(caps); }
    std::vector<PrinterChoice> papers(const DevModeBuffer&) override { return IppDevMode::papers(caps); }

    bool cancelJob(int jobId) override
    {
        return cupsCancelJob2(http.get(), name.c_str(), jobId, 0) <= IPP_STATUS_OK_CONFLICTING;
    }

    JobOutcome jobOutcome(int jobId) override
    {
        ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(name).c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-state");
        IppMessage response(cupsDoRequest(http.get(), request, "/"));
        if (!response || !succeeded())
            return JobOutcome::Unknown;
        switch (integer(response.get(), "job-state", 0)) {
        case IPP_JSTATE_CANCELED:
            return JobOutcome::Cancelled;
        case IPP_JSTATE_ABORTED:
            return JobOutcome::Aborted;
        case IPP_JSTATE_COMPLETED:
            return JobOutcome::Completed;
        default:
            return JobOutcome::Unknown;
        }
    }

private:
    Connection http;
    std::string name;
    IppMessage attrs;
    IppPrinterCapabilities caps;
};

cairo_status_t appendToBuffer(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// One job: pages are drawn into a PDF in memory at the device mode's paper, and the PDF is
// sent when the document ends.
class CupsDocument : public SpoolerDocument {
public:
    CupsDocument(Connection connection, std::string printer, const IppPrinterCapabilities& caps,
                 const DEVMODEW& devMode)
        : http(std::move(connection))
        , name(std::move(printer))
        , geometry(IppDevMode::pageGeometry(caps, devMode))
    {
        for (const auto& [option, value] : IppDevMode::jobOptions(caps, devMode))
            optionCount = cupsAddOption(option.c_str(), value.c_str(), optionCount, &options);
        pdf = cairo_pdf_surface_create_for_stream(appendToBuffer, &pdfBytes, geometry.pageWidthPt,
                                                  geometry.pageHeightPt);
        cairo = cairo_create(pdf);
    }

    ~CupsDocument() override
    {
        // A created job that never got its document would hold the queue for good.
        if (jobId > 0 && !submitted && !aborted)
            cupsCancelJob2(http.get(), name.c_str(), jobId, 0);
        closePdf();
        cupsFreeOptions(optionCount, options);
    }

    bool isValid() const { return cairo && cairo_status(cairo) == CAIRO_STATUS_SUCCESS; }

    PrintableArea printableArea() const override { return geometry.area; }

    bool embedsEncoded(ImageEncoding encoding) const override { return encoding == ImageEncoding::Jpeg; }

    int startDoc(const std::wstring& documentName) override
    {
        const std::string title = utf8(documentName);
        jobId = cupsCreateJob(http.get(), name.c_str(), title.c_str(), optionCount, options);
        return jobId;
    }

    bool startPage() override { return isValid(); }

    bool drawImage(const PageImage& page, int x, int y, int width, int height) override
    {
        if (page.width <= 0 || page.height <= 0)
            return false;
        cairo_surface_t* source = sourceFor(page);
        if (!source)
            return false;
        const int sourceWidth = cairo_image_surface_get_width(source);
        const int sourceHeight = cairo_image_surface_get_height(source);
        cairo_save(cairo);
        cairo_translate(cairo, geometry.areaLeftPt + x * kPointsPerDevicePixel,
                        geometry.areaTopPt + y * kPointsPerDevicePixel);
        cairo_scale(cairo, width * kPointsPerDevicePixel / sourceWidth, height * kPointsPerDevicePixel / sourceHeight);
        if (page.halfTurn) {
            cairo_translate(cairo, sourceWidth, sourceHeight);
            cairo_rotate(cairo, M_PI);
        }
        cairo_set_source_surface(cairo, source, 0, 0);
        cairo_rectangle(cairo, 0, 0, sourceWidth, sourceHeight);
        cairo_fill(cairo);
        cairo_restore(cairo);
        // Kept until the PDF is closed (see closePdf).
        pageSources.push_back(source);
        return isValid();
    }

    bool endPage() override
    {
        cairo_show_page(cairo);
        return isValid();
    }

    bool endDoc() override
    {
        if (!pdf)
            return false;
        cairo_surface_finish(pdf);
        const bool complete = cairo_surface_status(pdf) == CAIRO_STATUS_SUCCESS;
        closePdf();
        if (!complete || jobId <= 0)
            return false;
        if (cupsStartDocument(http.get(), name.c_str(), jobId, "document", CUPS_FORMAT_PDF, 1) != HTTP_STATUS_CONTINUE)
            return false;
        const http_status_t written = cupsWriteRequestData(http.get(), pdfBytes.data(), pdfBytes.size());
        // Finished either way, so the server does not wait for the rest of the request.
        const ipp_status_t finished = cupsFinishDocument(http.get(), name.c_str());
        submitted = written == HTTP_STATUS_CONTINUE && finished <= IPP_STATUS_OK_CONFLICTING;
        return submitted;
    }

    void abortDoc() override
    {
        if (jobId > 0 && !aborted)
            cupsCancelJob2(http.get(), name.c_str(), jobId, 0);
        aborted = true;
    }

private:
    cairo_surface_t* sourceFor(const PageImage& page)
    {
        if (page.encoding == ImageEncoding::Jpeg && page.encoded && page.encodedSize) {
            // The page's own JPEG goes into the PDF as it stands. The PDF draws an image into the
            // unit square its source covers, whatever the image's size, so the source is a single
            // pixel that is never read: no page-sized buffer for an image that is not drawn here.
            cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
            auto* bytes = static_cast<unsigned char*>(std::malloc(page.encodedSize));
            if (!bytes) {
                cairo_surface_destroy(surface);
                return nullptr;
            }
            std::memcpy(bytes, page.encoded, page.encodedSize);
            cairo_surface_set_mime_data(surface, CAIRO_MIME_TYPE_JPEG, bytes, page.encodedSize, std::free, bytes);
            return surface;
        }
        if (!page.pixels)
            return nullptr;
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, page.width, page.height);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return nullptr;
        }
        cairo_surface_flush(surface);
        unsigned char* target = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        const auto* rows = reinterpret_cast<const unsigned char*>(page.pixels);
        for (int row = 0; row < page.height; ++row)
            std::memcpy(target + row * stride, rows + row * page.bytesPerLine, std::size_t(page.width) * 4);
        cairo_surface_mark_dirty(surface);
        return surface;
    }

    // The PDF first, then the page sources: a source destroyed while the PDF still holds its
    // snapshot makes cairo copy the pixels into the snapshot.
    void closePdf()
    {
        cairo_destroy(cairo);
        cairo_surface_destroy(pdf);
        cairo = nullptr;
        pdf = nullptr;
        for (cairo_surface_t* surface : pageSources)
            cairo_surface_destroy(surface);
        pageSources.clear();
    }

    Connection http;
    std::string name;
    IppDevMode::PageGeometry geometry;
    int optionCount = 0;
    cups_option_t* options = nullptr;
    std::string pdfBytes;
    cairo_surface_t* pdf = nullptr;
    cairo_t* cairo = nullptr;
    std::vector<cairo_surface_t*> pageSources;
    int jobId = 0;
    bool submitted = false;
    bool aborted = false;
};

class CupsSpooler : public PrintSpooler {
public:
    bool defaultPrinter(std::wstring* name) override
    {
        Connection http = connectToServer();
        if (!http)
            return false;
        // Also reads LPDEST, PRINTER and ~/.cups/lpoptions, as the command-line tools do.
        cups_dest_t* dest = cupsGetNamedDest(http.get(), nullptr, nullptr);
        if (!dest)
            return false;
        *name = wide(dest->name);
        cupsFreeDests(1, dest);
        return !name->empty();
    }

    std::unique_ptr<SpoolerPrinter> openPrinter(const std::wstring& printer) override
    {
        const std::string name = utf8(printer);
        auto [http, attrs] = openQueue(name);
        if (!attrs)
            return nullptr;
        return std::make_unique<CupsPrinter>(std::move(http), name, std::move(attrs));
    }

    std::unique_ptr<SpoolerDocument> createDocument(const std::wstring& printer, const DevModeBuffer& devMode) override
    {
        const std::string name = utf8(printer);
        auto [http, attrs] = openQueue(name);
        if (!attrs)
            return nullptr;
        const IppPrinterCapabilities caps = capabilitiesOf(attrs.get());
        DevModeBuffer settings = devMode;
        if (!IppDevMode::validate(caps, &settings))
            settings = IppDevMode::currentDevMode(caps, printer);
        auto document = std::make_unique<CupsDocument>(std::move(http), name, caps, *settings.get());
        if (!document->isValid())
            return nullptr;
        return document;
    }

private:
    // A connection of its own with the queue's attributes; no attributes when it does not answer.
    static std::pair<Connection, IppMessage> openQueue(const std::string& name)
    {
        Connection http = connectToServer();
        if (!http)
            return {};
        IppMessage attrs = fetchPrinterAttributes(http.get(), name);
        if (!attrs)
            return {};
        return {std::move(http), std::move(attrs)};
    }
};

} // namespace

std::shared_ptr<PrintSpooler> createPlatformPrintSpooler()
{
    return std::make_shared<CupsSpooler>();
}
