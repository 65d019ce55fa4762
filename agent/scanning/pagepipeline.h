#pragma once

#include "scanning/rawpage.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

// The way of every scanned page from the transfer loop to the uploader. The GUI thread only
// queues the delivered page; encoding and writing run on the pool, several pages at once, and
// the pages reach the uploader in the order they were scanned. At most maxPagesInFlight()
// pages are between the two at a time, so a scanner faster than the encoder waits at the
// transfer loop instead of filling the memory with delivered pages. The GUI thread never takes
// the encoders' lock: an encoder runs at a lower priority and could be held up while owning it.
class KELPagePipeline : public QObject {
    Q_OBJECT
public:
    // What an encoding task leaves for the hand-over.
    struct EncodedPage {
        QString jpegPath;
        int sortNo = 0;
        bool encoded = false;
        bool saved = false;    // the JPEG file was written
        qint64 size = 0;       // JPEG bytes
        QByteArray unsaved;    // the JPEG, only when its file could not be written
        QString problem;       // why the page could not be encoded, for the log
    };

    static KELPagePipeline* instance();  // first called on the GUI thread
    KELPagePipeline();

    static int maxPagesInFlight();

    // GUI thread: queues the page for encoding into `jpegPath` (and `originPath` when it is
    // not empty) as page `sortNo`.
    void submit(KELRawPage page, const QString& jpegPath, const QString& originPath, int sortNo);
    bool hasRoom() const;
    int pagesInFlight() const;
    // GUI thread: runs `then` on the GUI thread once every page queued so far has been handed
    // to the uploader (at once when none is on its way).
    void whenHandedOver(std::function<void()> then);

    // From the encoding tasks.
    void finished(int sequence, EncodedPage page);
    // A test hook (VELLOX_TEST_HOLD_PAGE=<sortNo>): that page's encoding waits until a later
    // page has been encoded, so the later one is ready first.
    void holdForTest(int sortNo, int sequence);

Q_SIGNALS:
    // Queued to the GUI thread after every page handed over; wakes a transfer loop that waits.
    void pageHandedOver();

private:
    void handOver(const EncodedPage& page);
    void runWaiters();

    // The encoders' own threads, marked as background work (see KELBackgroundWork).
    QThreadPool encoders;
    int nextSequence = 0;      // GUI thread
    std::atomic<int> nextToHandOver {0};
    std::atomic<int> inFlight {0};
    // Guards what the encoders share among themselves.
    std::mutex mutex;
    std::condition_variable encodedChanged;
    int lastEncoded = -1;
    bool handingOver = false;
    std::map<int, EncodedPage> ready;
    std::vector<std::pair<int, std::function<void()>>> waiters;  // GUI thread only: (sequence, then)
    int heldSortNo = 0;
};
