#include "scanning/pagepipeline.h"

#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "scanning/pagejpegtask.h"
#include "upload/uploadermgr.h"

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
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++inFlight;
    }
    encoders.start(
        new KELPageJpegTask(this, sequence, std::move(page), jpegPath, originPath, sortNo));
}

bool KELPagePipeline::hasRoom() const
{
    return pagesInFlight() < maxPagesInFlight();
}

int KELPagePipeline::pagesInFlight() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return inFlight;
}

void KELPagePipeline::whenHandedOver(std::function<void()> then)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (nextToHandOver < nextSequence) {
            waiters.emplace_back(nextSequence, std::move(then));
            return;
        }
    }
    then();
}

void KELPagePipeline::runWaiters()
{
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto waiting = std::stable_partition(waiters.begin(), waiters.end(),
                                             [this](const auto& waiter) { return waiter.first > nextToHandOver; });
        for (auto it = waiting; it != waiters.end(); ++it)
            due.push_back(std::move(it->second));
        waiters.erase(waiting, waiters.end());
    }
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
        lock.lock();
        ++nextToHandOver;
        --inFlight;
        QMetaObject::invokeMethod(this, [this] {
            runWaiters();
            Q_EMIT pageHandedOver();
        }, Qt::QueuedConnection);
    }
    handingOver = false;
}

void KELPagePipeline::handOver(const EncodedPage& page)
{
    if (!page.encoded)
        return;
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
