#pragma once

#include "printing/printspooler.h"

#include <QList>
#include <functional>
#include <QString>

#include <map>
#include <mutex>
#include <set>

namespace vtest {

// A print spooler in memory, scripted by the test: printers with their driver, bins, device
// mode and queue, failures at any step, and a record of every document drawn. Thread-safe, as
// the printer's poll reads it from the thread pool.
class MemorySpooler : public PrintSpooler {
public:
    struct Printer {
        std::wstring driverName = L"Memory Driver";
        std::wstring portName = L"memory:";
        int binCount = 0;
        int devModeSize = 220;
        PrinterCondition condition;
        std::map<int, std::uint32_t> queue; // job id → status bits
        std::map<int, JobOutcome> outcomes;
        // Failures of single calls.
        bool openFails = false;
        bool infoFails = false;
        bool jobsFail = false;
        bool currentDevModeFails = false;
        bool validateFails = false;
        bool promptConfirms = true;
        // The device mode the driver reports as current; a zeroed one when empty.
        std::vector<unsigned char> current;
    };

    struct Page {
        int imageWidth = 0;
        int imageHeight = 0;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        bool halfTurn = false;
        bool hadPixels = false;
        std::uint32_t firstPixel = 0;
    };

    struct Document {
        std::wstring printer;
        std::vector<unsigned char> devMode; // as handed to createDocument
        std::wstring name;
        int jobId = 0;
        QList<Page> pages;
        int startedPages = 0;
        bool ended = false;
        bool aborted = false;
    };

    // Document failures, for the next documents.
    struct DocumentScript {
        bool createFails = false;
        bool startDocFails = false;
        int startPageFailsAt = -1; // page index
        bool endDocFails = false;
        PrintableArea area {2000, 3000};
        bool embedsJpeg = false;
        // Called at the start of every page (its index), outside the spooler's lock.
        std::function<void(int)> onStartPage;
    };

    void addPrinter(const std::wstring& name, const Printer& printer);
    void setDefault(const std::wstring& name);
    void updatePrinter(const std::wstring& name, const std::function<void(Printer&)>& change);
    Printer printer(const std::wstring& name) const;
    void setDocumentScript(const DocumentScript& script);

    QList<Document> documents() const;
    std::set<int> cancelledJobs() const;
    int openCount() const;

    // Ends a queued job as the spooler would: it leaves the queue with this outcome.
    void finishJob(const std::wstring& printer, int jobId, JobOutcome outcome = JobOutcome::Completed);

    // PrintSpooler
    bool defaultPrinter(std::wstring* name) override;
    std::unique_ptr<SpoolerPrinter> openPrinter(const std::wstring& name) override;
    std::unique_ptr<SpoolerDocument> createDocument(const std::wstring& printer, const DevModeBuffer& devMode) override;

private:
    class MemoryPrinter;
    class MemoryDocument;
    friend class MemoryPrinter;
    friend class MemoryDocument;

    mutable std::mutex lock;
    std::map<std::wstring, Printer> printers;
    std::wstring defaultName;
    DocumentScript script;
    QList<Document> docs;
    std::set<int> cancelled;
    int nextJobId = 1;
    int opens = 0;
};

} // namespace vtest
