#include "memoryspooler.h"

#include <algorithm>
#include <cstring>

namespace vtest {

class MemorySpooler::MemoryPrinter : public SpoolerPrinter {
public:
    MemoryPrinter(MemorySpooler* spooler, std::wstring name) : spooler(spooler), name(std::move(name)) {}

    bool info(PrinterInfo* info) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        const Printer& p = spooler->printers.at(name);
        if (p.infoFails)
            return false;
        info->driverName = p.driverName;
        info->portName = p.portName;
        info->jobCount = int(p.queue.size());
        info->condition = p.condition;
        return true;
    }

    bool jobs(std::map<int, std::uint32_t>* jobs) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        const Printer& p = spooler->printers.at(name);
        if (p.jobsFail)
            return false;
        *jobs = p.queue;
        return true;
    }

    int devModeSize() override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        return spooler->printers.at(name).devModeSize;
    }

    bool currentDevMode(DevModeBuffer* devMode) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        const Printer& p = spooler->printers.at(name);
        if (p.currentDevModeFails)
            return false;
        *devMode = DevModeBuffer(std::size_t(std::max(p.devModeSize, 0)));
        if (!p.current.empty()) {
            std::memcpy(devMode->data(), p.current.data(), std::min(p.current.size(), devMode->size()));
        } else if (DEVMODEW* dm = devMode->get()) {
            dm->dmSpecVersion = 0x0401;
            dm->dmSize = 220;
            dm->dmDriverExtra = std::uint16_t(p.devModeSize - 220);
        }
        return true;
    }

    bool validateDevMode(DevModeBuffer* devMode) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        return !spooler->printers.at(name).validateFails && devMode->get();
    }

    bool promptDevMode(HWND, DevModeBuffer* devMode) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        return spooler->printers.at(name).promptConfirms && devMode->get();
    }

    std::vector<PrinterChoice> bins(const DevModeBuffer&) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        std::vector<PrinterChoice> list;
        for (int i = 0; i < spooler->printers.at(name).binCount; ++i)
            list.push_back({DMBIN_USER + i, L"Tray " + std::to_wstring(i + 1)});
        return list;
    }

    std::vector<PrinterChoice> papers(const DevModeBuffer&) override
    {
        return {{DMPAPER_A4, L"A4"}, {DMPAPER_A3, L"A3"}};
    }

    bool cancelJob(int jobId) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        Printer& p = spooler->printers.at(name);
        // A job that has left the queue keeps the end it had, as a spooler's history does.
        if (p.queue.erase(jobId) == 0)
            return false;
        spooler->cancelled.insert(jobId);
        p.outcomes[jobId] = JobOutcome::Cancelled;
        return true;
    }

    JobOutcome jobOutcome(int jobId) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        const Printer& p = spooler->printers.at(name);
        const auto it = p.outcomes.find(jobId);
        return it == p.outcomes.end() ? JobOutcome::Unknown : it->second;
    }

private:
    MemorySpooler* spooler;
    std::wstring name;
};

class MemorySpooler::MemoryDocument : public SpoolerDocument {
public:
    MemoryDocument(MemorySpooler* spooler, int index, DocumentScript script)
        : spooler(spooler), index(index), script(script)
    {
    }

    PrintableArea printableArea() const override { return script.area; }
    bool embedsEncoded(ImageEncoding encoding) const override
    {
        return script.embedsJpeg && encoding == ImageEncoding::Jpeg;
    }

    int startDoc(const std::wstring& name) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        Document& doc = spooler->docs[index];
        doc.name = name;
        if (script.startDocFails)
            return 0;
        doc.jobId = spooler->nextJobId++;
        spooler->printers.at(doc.printer).queue[doc.jobId] = JobStatus::Spooling;
        return doc.jobId;
    }

    bool startPage() override
    {
        if (script.onStartPage)
            script.onStartPage(pagesStarted++);
        std::lock_guard<std::mutex> guard(spooler->lock);
        Document& doc = spooler->docs[index];
        if (doc.startedPages == script.startPageFailsAt)
            return false;
        ++doc.startedPages;
        return true;
    }

    bool drawImage(const PageImage& image, int x, int y, int width, int height) override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        Page page;
        page.imageWidth = image.width;
        page.imageHeight = image.height;
        page.x = x;
        page.y = y;
        page.width = width;
        page.height = height;
        page.halfTurn = image.halfTurn;
        page.hadPixels = image.pixels != nullptr;
        page.firstPixel = image.pixels ? image.pixels[0] : 0;
        spooler->docs[index].pages.append(page);
        return true;
    }

    bool endPage() override { return true; }

    bool endDoc() override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        if (script.endDocFails)
            return false;
        Document& doc = spooler->docs[index];
        doc.ended = true;
        auto& queue = spooler->printers.at(doc.printer).queue;
        if (queue.count(doc.jobId))
            queue[doc.jobId] = 0;
        return true;
    }

    void abortDoc() override
    {
        std::lock_guard<std::mutex> guard(spooler->lock);
        Document& doc = spooler->docs[index];
        doc.aborted = true;
        spooler->printers.at(doc.printer).queue.erase(doc.jobId);
    }

private:
    MemorySpooler* spooler;
    int index;
    DocumentScript script;
    int pagesStarted = 0;
};

void MemorySpooler::addPrinter(const std::wstring& name, const Printer& printer)
{
    std::lock_guard<std::mutex> guard(lock);
    printers[name] = printer;
}

void MemorySpooler::setDefault(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(lock);
    defaultName = name;
}

void MemorySpooler::updatePrinter(const std::wstring& name, const std::function<void(Printer&)>& change)
{
    std::lock_guard<std::mutex> guard(lock);
    change(printers.at(name));
}

MemorySpooler::Printer MemorySpooler::printer(const std::wstring& name) const
{
    std::lock_guard<std::mutex> guard(lock);
    return printers.at(name);
}

void MemorySpooler::setDocumentScript(const DocumentScript& documentScript)
{
    std::lock_guard<std::mutex> guard(lock);
    script = documentScript;
}

QList<MemorySpooler::Document> MemorySpooler::documents() const
{
    std::lock_guard<std::mutex> guard(lock);
    return docs;
}

std::set<int> MemorySpooler::cancelledJobs() const
{
    std::lock_guard<std::mutex> guard(lock);
    return cancelled;
}

int MemorySpooler::openCount() const
{
    std::lock_guard<std::mutex> guard(lock);
    return opens;
}

void MemorySpooler::finishJob(const std::wstring& printer, int jobId, JobOutcome outcome)
{
    std::lock_guard<std::mutex> guard(lock);
    Printer& p = printers.at(printer);
    p.queue.erase(jobId);
    p.outcomes[jobId] = outcome;
}

bool MemorySpooler::defaultPrinter(std::wstring* name)
{
    std::lock_guard<std::mutex> guard(lock);
    if (defaultName.empty())
        return false;
    *name = defaultName;
    return true;
}

std::unique_ptr<SpoolerPrinter> MemorySpooler::openPrinter(const std::wstring& name)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto it = printers.find(name);
    if (it == printers.end() || it->second.openFails)
        return nullptr;
    ++opens;
    return std::make_unique<MemoryPrinter>(this, name);
}

std::unique_ptr<SpoolerDocument> MemorySpooler::createDocument(const std::wstring& printer, const DevModeBuffer& devMode)
{
    std::lock_guard<std::mutex> guard(lock);
    if (script.createFails || !printers.count(printer))
        return nullptr;
    Document doc;
    doc.printer = printer;
    doc.devMode.assign(devMode.data(), devMode.data() + devMode.size());
    docs.append(doc);
    return std::make_unique<MemoryDocument>(this, docs.size() - 1, script);
}

} // namespace vtest
