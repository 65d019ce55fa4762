#pragma once

#include "uploadrequest.h"

#include <QJsonArray>
#include <QString>

// The pages received, as files: DIR/pages/<batch number>/<sort number>.jpg. A page sent again
// under the same numbers replaces the earlier one. Safe from every server thread: each page is
// written to a temporary file and renamed into place, so a reader never sees half a page.
class PageStore {
public:
    explicit PageStore(const QString& dataFolder);

    bool store(const UploadRequest& page, QString* error);

    // Address under which a page is served.
    static QString pageUrl(const QString& batchNumber, int sortNo);

    // [{"batch", "pages", "url"}] for every batch, in name order.
    QJsonArray batches() const;
    // [{"sortNo", "url", "bytes"}] in sort order; false when no page of the batch arrived.
    bool pagesOf(const QString& batchNumber, QJsonArray* pages) const;
    // The stored file of one page, or empty when there is none.
    QString pageFile(const QString& batchNumber, int sortNo) const;

private:
    QString batchFolder(const QString& batchNumber) const;

    QString root;
};
