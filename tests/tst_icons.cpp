#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QResource>
#include <QtTest>

// The two tray icons as the program carries them: the resource collection, registered at static
// initialisation (nothing registers it before the first check), and the PNG files it came from.
class tst_Icons : public QObject
{
    Q_OBJECT

private slots:
    void resourceTreeHoldsExactlyTheIcons();
    void uncompressedRgbaPng_data();
    void uncompressedRgbaPng();
    void sampleColours_data();
    void sampleColours();
    void sameShapeInBothColours();
};

namespace {

const QString Gray = QStringLiteral(":/resources/png/icon_gray.png");
const QString Green = QStringLiteral(":/resources/png/icon_green.png");

QStringList resourceEntries()
{
    QStringList entries;
    QDirIterator it(
        ":/", QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(it.next());
    entries.sort();
    return entries;
}

} // namespace

// The collection's share of the resource tree is what disappears when it is unregistered (the
// rest belongs to Qt's own libraries).
void tst_Icons::resourceTreeHoldsExactlyTheIcons()
{
    const QStringList withIcons = resourceEntries();
    Q_CLEANUP_RESOURCE(resources);
    const QStringList withoutIcons = resourceEntries();
    Q_INIT_RESOURCE(resources);
    QCOMPARE(resourceEntries(), withIcons);
    QStringList ours;
    for (const QString &entry : withIcons)
        if (!withoutIcons.contains(entry))
            ours.append(entry);
    QCOMPARE(ours, QStringList({":/resources", ":/resources/png", Gray, Green}));
}

void tst_Icons::uncompressedRgbaPng_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("gray") << Gray;
    QTest::newRow("green") << Green;
}

// rcc embedded the committed PNG byte for byte: 256 x 256, 8 bits, colour type 6 (RGBA).
void tst_Icons::uncompressedRgbaPng()
{
    QFETCH(QString, path);
    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray png(
        reinterpret_cast<const char *>(resource.data()), static_cast<int>(resource.size()));
    QFile source(QFINDTESTDATA("../src/resources/png/" + QFileInfo(path).fileName()));
    QVERIFY2(source.open(QIODevice::ReadOnly), "icon sources not found beside the tests");
    QCOMPARE(png, source.readAll());

    // Signature, IHDR of 13 bytes, width, height, depth 8, RGBA, no compression, filter, interlace.
    QCOMPARE(png.left(29).toHex(),
        QByteArray("89504e470d0a1a0a0000000d4948445200000100000001000806000000"));
}

void tst_Icons::sampleColours_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QRgb>("colour");

    const struct
    {
        const char *part;
        QPoint point;
        QRgb gray;
        QRgb green;
    } samples[] = {
        {"rim", {128, 3}, 0xFF949494, 0xFF83CE5A},
        {"body upper", {128, 40}, 0xFF747474, 0xFF5FBA2D},
        {"body lower", {128, 224}, 0xFF818181, 0xFF6EC041},
        {"glyph upper", {172, 78}, 0xFFECECEC, 0xFFEAF3E5},
        {"glyph lower", {172, 178}, 0xFFFAFAFA, 0xFFFAFAFA},
        {"rim left", {3, 128}, 0xFF949494, 0xFF83CE5A},
        {"rim bottom", {128, 252}, 0xFF949494, 0xFF83CE5A},
        {"corner top left", {0, 0}, 0, 0},
        {"corner top right", {255, 0}, 0, 0},
        {"corner bottom left", {0, 255}, 0, 0},
        {"corner bottom right", {255, 255}, 0, 0},
    };
    for (const auto &sample : samples) {
        QTest::addRow("gray %s", sample.part) << Gray << sample.point << sample.gray;
        QTest::addRow("green %s", sample.part) << Green << sample.point << sample.green;
    }
}

// Exact colours at points well inside each part; the corners lie outside the rounding.
void tst_Icons::sampleColours()
{
    QFETCH(QString, path);
    QFETCH(QPoint, point);
    QFETCH(QRgb, colour);
    const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
    const QRgb pixel = image.pixel(point);
    if (qAlpha(colour) == 0)
        QCOMPARE(qAlpha(pixel), 0);
    else
        QCOMPARE(QString::number(pixel, 16), QString::number(colour, 16));
}

// One design in two palettes: the same pixels are covered, with the same alpha.
void tst_Icons::sameShapeInBothColours()
{
    const QImage gray = QImage(Gray).convertToFormat(QImage::Format_ARGB32);
    const QImage green = QImage(Green).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(gray.size(), green.size());
    int differing = 0;
    for (int y = 0; y < gray.height(); ++y)
        for (int x = 0; x < gray.width(); ++x)
            differing += qAlpha(gray.pixel(x, y)) != qAlpha(green.pixel(x, y));
    QCOMPARE(differing, 0);
}

QTEST_GUILESS_MAIN(tst_Icons)
#include "tst_icons.moc"
