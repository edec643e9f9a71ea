// The thumbnail plugin of KDE's Dolphin on Plasma 5: a KIO thumbnail
// creator, in the process of KIO's thumbnail worker, thin over the walk and
// the picture rule of --thumbnail. Nothing is started, nothing is written.
#include <KIO/ThumbnailCreator>
#include <KPluginFactory>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "icon_status.h"
#include "picture.h"
#include "stream_layer.h"

class GallivoxThumbnail : public KIO::ThumbnailCreator {
    Q_OBJECT
public:
    GallivoxThumbnail(QObject* parent, const QVariantList& args) : KIO::ThumbnailCreator(parent, args) {}

    // The picture of `gallivox --thumbnail SIZE`, SIZE the request's shorter
    // side; no thumbnail for anything it cannot read.
    KIO::ThumbnailResult create(const KIO::ThumbnailRequest& request) override
    {
        const QByteArray path = request.url().toLocalFile().toLocal8Bit();
        const QSize target = request.targetSize();
        int size = target.width() < target.height() ? target.width() : target.height();
        FILE* file = path.isEmpty() ? nullptr : fopen(path.constData(), "rb");
        if (file == nullptr || size <= 0) {
            if (file != nullptr) {
                fclose(file);
            }
            return KIO::ThumbnailResult::fail();
        }
        StreamLayerState state;
        ByteLayer layer;
        StreamLayerOpen(&layer, &state, file, fseek(file, 0, SEEK_SET) == 0);
        uint8_t* picture = nullptr;
        unsigned side = 0;
        unsigned result =
            ThumbnailOfLayer(&layer, &keys_, size < 4096 ? static_cast<unsigned>(size) : 4096u, &picture, &side);
        fclose(file);
        QImage image;
        if (result == ICON_OK) {
            image = QImage(static_cast<int>(side), static_cast<int>(side), QImage::Format_RGBA8888);
            for (unsigned y = 0; y < side && !image.isNull(); y++) {
                memcpy(image.scanLine(static_cast<int>(y)), picture + 4 * size_t(y) * side, 4 * size_t(side));
            }
        }
        free(picture);
        return image.isNull() ? KIO::ThumbnailResult::fail() : KIO::ThumbnailResult::pass(image);
    }

private:
    KeyRing keys_;  // the user's key file, read when an encrypted file is met
};

K_PLUGIN_CLASS_WITH_JSON(GallivoxThumbnail, "gallivox_thumbnail.json")

#include "kde_thumbnail.moc"
