#include "scanning/pagepipeline.h"

#include "command/velloxserver.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "scanning/pagejpegtask.h"
#include "upload/uploadermgr.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {
constexpr int kPagesPerCore = 2;
constexpr auto kLongestTestHold = std::chrono::seconds(30);
} // namespace

KELPagePipeline* KELPagePipeline::instance()
{
    return KELS::Singleton<KELPagePipeline>::instance();
}

KELPagePipeline::KELPagePipeline()
    : heldSortNo(qEnvironmentVariableIntValue("VELLOX_TEST_HOLD_PAGE"))
{
    // Room for every page on its way, so a page held by the test hook cannot block the others.
    encoders.setMaxThreadCount(maxPagesInFlight());
}

int KELPagePipeline::maxPagesInFlight()
{
    return kPagesPerCore * std::max(1, QThread::idealThreadCount());
}

void KELPagePipeline::submit(KELRawPage page, const QString& jpegPath, const QString& originPath, int sortNo)
{
    const int sequence = nextSequence++;
    ++inFlight;
    encoders.start(
        new KELPageJpegTask(this, sequence, std::move(page), jpegPath, originPath, sortNo));
}

bool KELPagePipeline::hasRoom() const
{
    return pagesInFlight() < maxPagesInFlight();
}

int KELPagePipeline::pagesInFlight() const
{
    return inFlight;
}

void KELPagePipeline::whenHandedOver(std::function<void()> then)
{
    // A page handed over after this look posts runWaiters, which finds the waiter.
    if (nextToHandOver < nextSequence) {
        waiters.emplace_back(nextSequence, std::move(then));
        return;
    }
    then();
}

void KELPagePipeline::runWaiters()
{
    const int handedOver = nextToHandOver;
    auto waiting = std::stable_partition(waiters.begin(), waiters.end(),
                                         [handedOver](const auto& waiter) { return waiter.first > handedOver; });
    std::vector<std::function<void()>> due;
    for (auto it = waiting; it != waiters.end(); ++it)
        due.push_back(std::move(it->second));
    waiters.erase(waiting, waiters.end());
    for (const auto& then : due)
        then();
}

void KELPagePipeline::finished(int sequence, EncodedPage page)
{
    std::unique_lock<std::mutex> lock(mutex);
    lastEncoded = std::max(lastEncoded, sequence);
    encodedChanged.notify_all();
    ready.emplace(sequence, std::move(page));
    // One thread at a time hands pages over, so they leave in sequence whoever encoded them.
    if (handingOver)
        return;
    handingOver = true;
    while (!ready.empty() && ready.begin()->first == nextToHandOver) {
        const EncodedPage next = std::move(ready.begin()->second);
        ready.erase(ready.begin());
        lock.unlock();
        handOver(next);
        ++nextToHandOver;
        --inFlight;
        QMetaObject::invokeMethod(this, [this] {
            runWaiters();
            Q_EMIT pageHandedOver();
        }, Qt::QueuedConnection);
        lock.lock();
    }
    handingOver = false;
}

void KELPagePipeline::handOver(const EncodedPage& page)
{
    if (!page.encoded) {
        // The page would vanish without a word: the teacher hears which one to scan again.
        KLOG->error("Page {} cannot be encoded as JPEG ({}): {}", page.sortNo, page.problem, page.jpegPath);
        KELVelloxServer::instance()->notifyError(QStringLiteral("scan-error"),
                                                 QCoreApplication::translate("KELPageJpegTask", "第%1页扫描图像无法保存, 请重新扫描该页").arg(page.sortNo),
                                                 QJsonObject{ { QStringLiteral("sortNo"), page.sortNo } });
        return;
    }
    KELUploaderMgr* uploader = KELUploaderMgr::instance();
    if (page.saved) {
        uploader->uploadSavedFile(page.jpegPath, page.sortNo, page.size);
        KLOG->info("OnNativeTransfer: saved file succeed, name is {}, origin file size: {}", page.jpegPath, page.size);
    } else {
        uploader->uploadFile(page.jpegPath, page.sortNo, page.unsaved);
        KLOG->info("OnNativeTransfer: saved file failed, name is {}, origin file size: {}", page.jpegPath, page.size);
    }
}

void KELPagePipeline::holdForTest(int sortNo, int sequence)
{
    if (heldSortNo == 0 || sortNo != heldSortNo)
        return;
    std::unique_lock<std::mutex> lock(mutex);
    encodedChanged.wait_for(lock, kLongestTestHold, [&] { return lastEncoded > sequence; });
}
