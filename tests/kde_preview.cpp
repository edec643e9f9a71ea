// KDE's own preview machinery asked for the icons, as Dolphin asks for
// them: KIO::PreviewJob, through the thumbnail worker of Debian's kio-extras,
// with gallivox's plugin enabled, for a 256-pixel preview of each file.
// Each preview must be, pixel for pixel, the large icon that `gallivox -l`
// wrote for that file (read here by Qt's own PNG decoder), enlarged by the
// largest whole factor that fits; a file given no icon must get no preview.
// Usage: kde_preview FILE ICON.png|- ... (run headless: QT_QPA_PLATFORM=offscreen)
#include <KFileItem>
#include <KIO/PreviewJob>
#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QMap>
#include <QPixmap>

#include <cstdio>

// `icon` enlarged by the largest whole factor that fits in `size`.
static QImage enlarged(const QImage& icon, int size)
{
    int k = size / icon.width();
    QImage out(icon.width() * k, icon.height() * k, QImage::Format_RGBA8888);
    for (int y = 0; y < out.height(); y++) {
        for (int x = 0; x < out.width(); x++) {
            out.setPixelColor(x, y, icon.pixelColor(x / k, y / k));
        }
    }
    return out;
}

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    KFileItemList items;
    QMap<QString, QString> expected;  // file -> its icon's PNG, or "-" for none
    for (int i = 1; i + 1 < argc; i += 2) {
        QString file = QString::fromLocal8Bit(argv[i]);
        items.append(KFileItem(QUrl::fromLocalFile(file)));
        expected[file] = QString::fromLocal8Bit(argv[i + 1]);
    }
    const QStringList plugins = {QStringLiteral("gallivox_thumbnail")};
    KIO::PreviewJob* job = new KIO::PreviewJob(items, QSize(256, 256), &plugins);
    job->setScaleType(KIO::PreviewJob::Unscaled);
    job->setIgnoreMaximumSize(true);
    QMap<QString, QImage> previews;
    QObject::connect(job, &KIO::PreviewJob::gotPreview, [&previews](const KFileItem& item, const QPixmap& preview) {
        previews[item.localPath()] = preview.toImage().convertToFormat(QImage::Format_RGBA8888);
    });
    QEventLoop loop;
    QObject::connect(job, &KJob::result, &loop, &QEventLoop::quit);
    loop.exec();
    int failures = 0;
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        const QByteArray name = it.key().toLocal8Bit();
        bool got = previews.contains(it.key());
        if (it.value() == QStringLiteral("-")) {
            if (got) {
                fprintf(stderr, "kde_preview: %s got a preview, and should not\n", name.constData());
                failures++;
            }
            continue;
        }
        QImage icon(it.value());
        QImage want = enlarged(icon.convertToFormat(QImage::Format_RGBA8888), 256);
        if (!got || previews[it.key()] != want) {
            fprintf(stderr, "kde_preview: %s: %s\n", name.constData(),
                    got ? "the preview is not the icon enlarged" : "no preview");
            failures++;
        }
    }
    printf("kde_preview: %lld files, %d failures\n", static_cast<long long>(expected.size()), failures);
    return failures == 0 ? 0 : 1;
}
