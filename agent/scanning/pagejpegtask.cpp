#include "scanning/pagejpegtask.h"

#include "command/velloxserver.h"
#include "foundation/logging.h"
#include "upload/uploadermgr.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>

KELPageJpegTask::KELPageJpegTask(const QImage& image, const QString& jpegPath, int sortNo)
    : image(image)
    , jpegPath(jpegPath)
    , sortNo(sortNo)
{
}

QByteArray KELPageJpegTask::encode(const QImage& image)
{
    QByteArray bytes;
    if (image.isNull())
        return bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPG", kQuality))
        bytes.clear();
    return bytes;
}

void KELPageJpegTask::run()
{
    const QByteArray bytes = encode(image);
    if (bytes.isEmpty()) {
        // The page would vanish without a word: the teacher hears which one to scan again.
        KLOG->error("Page {} cannot be encoded as JPEG ({} x {}, format {}): {}", sortNo, image.width(),
                    image.height(), int(image.format()), jpegPath);
        KELVelloxServer::instance()->notifyError(QStringLiteral("scan-error"),
                                                 QCoreApplication::translate("KELPageJpegTask", "第%1页扫描图像无法保存, 请重新扫描该页").arg(sortNo),
                                                 QJsonObject{ { QStringLiteral("sortNo"), sortNo } });
        return;
    }
    KELUploaderMgr::instance()->uploadFile(jpegPath, sortNo, bytes);
    QFile file(jpegPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()) {
        KLOG->info("OnNativeTransfer: saved file succeed, name is {}, origin file size: {}", jpegPath, bytes.size());
    } else {
        KLOG->info("OnNativeTransfer: saved file failed, name is {}, origin file size: {}", jpegPath, bytes.size());
    }
}
