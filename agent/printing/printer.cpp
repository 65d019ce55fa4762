#include "printing/printer.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMutexLocker>
#include <QPainter>
#include <QThreadPool>
#include <QTimer>

namespace {

const QString kBlankPageFile = QStringLiteral("white-page.png");

QString joinedPaths(const QStringList& paths)
{
    return paths.join(QLatin1Char('|'));
}

} // namespace

CPrinter& CPrinter::instance()
{
    // Never destroyed, like the other process-wide objects.
    static CPrinter* printer = new CPrinter(createPlatformPrintSpooler(), KELGlobalConfig::instance());
    return *printer;
}

CPrinter::CPrinter(std::shared_ptr<PrintSpooler> spooler, KELGlobalConfig* config, QObject* parent)
    : QObject(parent)
    , spooler(std::move(spooler))
    , config(config)
    , pollTimer(new QTimer(this))
{
    clock.start();
    usePolicy(PrintWaitPolicy::fromConfig(config));
    connect(this, &CPrinter::sigStartPrint, pollTimer, qOverload<>(&QTimer::start));
    connect(pollTimer, &QTimer::timeout, this, &CPrinter::pollTrackedJobs);
}

CPrinter::~CPrinter()
{
    QMutexLocker locker(&workersMutex);
    while (activeWorkers > 0)
        workersDone.wait(&workersMutex);
}

void CPrinter::runInBackground(std::function<void()> work)
{
    {
        QMutexLocker locker(&workersMutex);
        ++activeWorkers;
    }
    QThreadPool::globalInstance()->start([this, work = std::move(work)] {
        work();
        QMutexLocker locker(&workersMutex);
        if (--activeWorkers == 0)
            workersDone.wakeAll();
    });
}

QString CPrinter::defaultPrinterName() const
{
    std::wstring name;
    return spooler->defaultPrinter(&name) ? QString::fromStdWString(name) : QString();
}

bool CPrinter::selectPrinter(QString name)
{
    QMutexLocker locker(&mutex);
    if (!name.isEmpty()) {
        selectedPrinterName = name;
    } else {
        std::wstring defaultName;
        if (spooler->defaultPrinter(&defaultName)) {
            selectedPrinterName = QString::fromStdWString(defaultName);
            KLOG->info("select default printer: {}", selectedPrinterName);
        } else {
            // The default printer was removed: no printer, rather than the one it used to be.
            selectedPrinterName.clear();
        }
    }

    bool opened = false;
    if (auto printer = spooler->openPrinter(selectedPrinterName.toStdWString())) {
        opened = true;
        PrinterInfo info;
        if (printer->info(&info)) {
            selectedDriverName = QString::fromStdWString(info.driverName);
            selectedCondition = info.condition;
            // Read once per printer: another printer has trays of its own.
            if (binCountPrinter != selectedPrinterName || paperBinCount <= 0) {
                DevModeBuffer current;
                if (printer->devModeSize() < 1 || !printer->currentDevMode(&current))
                    paperBinCount = 0;
                else
                    paperBinCount = std::max(0, int(printer->bins(current).size()));
                binCountPrinter = selectedPrinterName;
            }
        }
    }
    KLOG->info("select printer name: {}, driver name: {}, bin count: {}", selectedPrinterName, selectedDriverName,
               paperBinCount);
    if (!selectedPrinterName.isEmpty() && !opened)
        KLOG->error("selected printer cannot be opened. printerName={}", selectedPrinterName);
    return opened;
}

bool CPrinter::precheckPrintFiles(QString uniqueId, QStringList filePaths, QString studentName, QString studentId,
                                  QString* message)
{
    for (int pageIndex = 0; pageIndex < filePaths.size(); ++pageIndex) {
        const QString& path = filePaths.at(pageIndex);
        if (path.isEmpty() || !QFile::exists(path)) {
            if (message)
                *message = tr("打印文件不存在");
            KLOG->error("print file precheck failed. uniqueId={}, studentName={}, studentId={}, pageIndex={}, "
                        "filePath={}, fileExists={}, decodeOk=0, failStage=precheck_file_invalid",
                        uniqueId, studentName, studentId, pageIndex, path, 0);
            return false;
        }
        QImageReader reader(path);
        reader.setDecideFormatFromContent(true);
        if (reader.read().isNull()) {
            if (message)
                *message = tr("打印文件解析失败");
            KLOG->error("print file precheck failed. uniqueId={}, studentName={}, studentId={}, pageIndex={}, "
                        "filePath={}, fileExists=1, decodeOk=0, failStage=precheck_file_invalid",
                        uniqueId, studentName, studentId, pageIndex, path);
            return false;
        }
    }
    return true;
}

bool CPrinter::print(QString uniqueId, QStringList filePaths, bool legacy, const QString& studentName,
                     const QString& studentId)
{
    QMutexLocker locker(&mutex);
    QString message;
    if (!precheckPrintFiles(uniqueId, filePaths, studentName, studentId, &message)) {
        KLOG->error("print precheck failed. uniqueId={}, studentName={}, studentId={}, fileCount={}, filePaths={}, "
                    "msg={}",
                    uniqueId, studentName, studentId, filePaths.size(), joinedPaths(filePaths), message);
        devMode.clear();
        return false;
    }

    orientToPages(filePaths);
    std::unique_ptr<SpoolerDocument> document =
        spooler->createDocument(selectedPrinterName.toStdWString(), devMode);
    if (!document) {
        KLOG->error("create print dc failed. uniqueId={}, studentName={}, studentId={}, printerName={}, "
                    "filePaths={}, failStage=create_dc",
                    uniqueId, studentName, studentId, selectedPrinterName, joinedPaths(filePaths));
        devMode.clear();
        return false;
    }

    bool ok = true;
    lastJobId = document->startDoc(uniqueId.toStdWString());
    if (lastJobId <= 0) {
        KLOG->error("create print job error. uniqueId={}, studentName={}, studentId={}, printerName={}, "
                    "filePaths={}, failStage=start_doc",
                    uniqueId, studentName, studentId, selectedPrinterName, joinedPaths(filePaths));
        ok = false;
    } else {
        const PrinterModel printerModel = model();
        TrackedPrintJob job;
        job.uniqueId = uniqueId;
        job.jobId = lastJobId;
        job.isCanonIrAdv = printerModel.canonIrAdv;
        job.legacy = legacy;
        job.printerName = selectedPrinterName;
        job.submittedMs = clockMs();
        int activeJobCount = 0;
        bool fromConfig = false;
        {
            QMutexLocker jobsLocker(&jobsMutex);
            activeJobCount = trackedJobs.add(job);
            fromConfig = policyFromConfig;
        }
        // A changed setting counts from the next job on.
        if (fromConfig)
            usePolicy(PrintWaitPolicy::fromConfig(config));
        KLOG->info("register tracked print job. uniqueId={}, jobId={}, printerName={}, activeJobCount={}",
                   uniqueId, lastJobId, selectedPrinterName, activeJobCount);
        Q_EMIT sigStartPrint();

        const QString blankPage = config->installFolder() + kBlankPageFile;
        const QStringList pages =
            documentPages(filePaths, printerModel, partPrinting, QFile::exists(blankPage) ? blankPage : QString());
        const PrintableArea area = document->printableArea();
        const bool turned = pagesTurned(printerModel, partPrinting, halfTurn);
        bool allPages = true;
        for (const QString& page : pages) {
            if (!document->startPage()) {
                KLOG->error("start page failed. uniqueId={}, studentName={}, studentId={}, filePath={}, "
                            "printerName={}, failStage=start_page",
                            uniqueId, studentName, studentId, page, selectedPrinterName);
                ok = allPages = false;
                break;
            }
            KLOG->info("start to print {}", page);
            if (!drawPage(*document, page, area, turned)) {
                KLOG->error("print image decode failed after precheck. uniqueId={}, studentName={}, studentId={}, "
                            "filePath={}, printerName={}, failStage=decode_image_runtime",
                            uniqueId, studentName, studentId, page, selectedPrinterName);
                document->endPage();
                ok = allPages = false;
                break;
            }
            document->endPage();
        }
        if (!allPages) {
            document->abortDoc();
        } else if (!document->endDoc()) {
            // The spooler did not take the document: nothing will print, so nobody may wait for it.
            KLOG->error("end print doc failed. uniqueId={}, printerName={}, failStage=end_doc", uniqueId,
                        selectedPrinterName);
            document->abortDoc();
            ok = false;
        }
    }
    if (!ok)
        failTail(uniqueId);

    document.reset();
    devMode.clear();
    return ok;
}

// Draws one page. Where the document embeds the file's own encoding only the image size is
// read, so a page is not decoded twice.
bool CPrinter::drawPage(SpoolerDocument& document, const QString& path, const PrintableArea& area, bool turned)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = file.readAll();
    file.close();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QByteArray format = reader.format();
    ImageEncoding encoding = ImageEncoding::None;
    if (format == "jpeg")
        encoding = ImageEncoding::Jpeg;
    else if (format == "png")
        encoding = ImageEncoding::Png;

    PageImage page;
    page.encoded = reinterpret_cast<const unsigned char*>(bytes.constData());
    page.encodedSize = std::size_t(bytes.size());
    page.encoding = encoding;
    page.halfTurn = turned;
    QImage image;
    if (encoding != ImageEncoding::None && document.embedsEncoded(encoding)) {
        const QSize size = reader.size();
        if (!size.isValid() || size.isEmpty())
            return false;
        page.width = size.width();
        page.height = size.height();
    } else {
        image = reader.read();
        if (image.isNull())
            return false;
        if (image.hasAlphaChannel()) {
            // Transparent parts are paper: white, not the black their colour values would give.
            QImage flat(image.size(), QImage::Format_RGB32);
            flat.fill(Qt::white);
            QPainter painter(&flat);
            painter.drawImage(0, 0, image);
            painter.end();
            image = flat;
        } else if (image.format() != QImage::Format_RGB32) {
            image = image.convertToFormat(QImage::Format_RGB32);
        }
        page.width = image.width();
        page.height = image.height();
        page.pixels = reinterpret_cast<const std::uint32_t*>(image.constBits());
        page.bytesPerLine = image.bytesPerLine();
    }
    const PagePlacement placement = placePage(area.width, area.height, page.width, page.height);
    return document.drawImage(page, placement.x, placement.y, placement.width, placement.height);
}

// A generic printer prints a landscape page across the sheet instead of shrinking it onto an
// upright one; preset models keep the orientation of their preset. The first page decides.
void CPrinter::orientToPages(const QStringList& filePaths)
{
    DEVMODEW* dm = devMode.get();
    if (!dm || filePaths.isEmpty() || model().usesPresets())
        return;
    QImageReader reader(filePaths.first());
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return;
    dm->dmOrientation = size.width() > size.height() ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    dm->dmFields |= DM_ORIENTATION;
}

void CPrinter::failTail(const QString& uniqueId)
{
    bool empty = false;
    {
        QMutexLocker jobsLocker(&jobsMutex);
        trackedJobs.remove(uniqueId);
        empty = trackedJobs.isEmpty();
    }
    if (empty)
        stopPollTimerQueued();
}

void CPrinter::stopPollTimerQueued()
{
    QMetaObject::invokeMethod(pollTimer, "stop", Qt::QueuedConnection);
}

PrinterModel CPrinter::model() const
{
    return PrinterModel::of(selectedDriverName, selectedPrinterName);
}

QString CPrinter::printerName() const
{
    QMutexLocker locker(&mutex);
    return selectedPrinterName;
}

QString CPrinter::driverName() const
{
    QMutexLocker locker(&mutex);
    return selectedDriverName;
}

int CPrinter::jobId() const
{
    QMutexLocker locker(&mutex);
    return lastJobId;
}

int CPrinter::binCount() const
{
    QMutexLocker locker(&mutex);
    return paperBinCount;
}

bool CPrinter::partMode() const
{
    QMutexLocker locker(&mutex);
    return partPrinting;
}

bool CPrinter::rotate180() const
{
    QMutexLocker locker(&mutex);
    return halfTurn;
}

bool CPrinter::isCanonIrAdv() const
{
    QMutexLocker locker(&mutex);
    return model().canonIrAdv;
}

bool CPrinter::isCanonUfr() const
{
    QMutexLocker locker(&mutex);
    return model().canonUfr;
}

bool CPrinter::isEpsonEmC8100() const
{
    QMutexLocker locker(&mutex);
    return model().epsonEmC8100;
}

bool CPrinter::isToshibaUniversal() const
{
    QMutexLocker locker(&mutex);
    return model().toshibaUniversal;
}

PrinterCondition CPrinter::printerCondition() const
{
    QMutexLocker locker(&mutex);
    return selectedCondition;
}
