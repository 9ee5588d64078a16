#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QResource>
#include <QtTest>

// The two tray icons as the program carries them: the resource collection, registered at static
// initialisation (nothing registers it before the first check), and the PNG files it came from.
class tst_Icons : public QObject
{
    Q_OBJECT

private slots:
    void registeredAtStart();
    void resourceTreeHoldsExactlyTheIcons();
    void storedUncompressed_data();
    void storedUncompressed();
    void pngHeader_data();
    void pngHeader();
    void sampleColours_data();
    void sampleColours();
    void sameShapeInBothColours();
};

namespace {

const QString Gray = QStringLiteral(":/resources/png/icon_gray.png");
const QString Green = QStringLiteral(":/resources/png/icon_green.png");

void addIconRows()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("gray") << Gray;
    QTest::newRow("green") << Green;
}

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

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 bigEndian32(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<quint8>(bytes.at(offset + i));
    return value;
}

} // namespace

void tst_Icons::registeredAtStart()
{
    QVERIFY(QFile::exists(Gray));
    QVERIFY(QFile::exists(Green));
}

// The collection's share of the resource tree is what disappears when it is unregistered (the
// rest belongs to Qt's own libraries).
void tst_Icons::resourceTreeHoldsExactlyTheIcons()
{
    const QStringList withIcons = resourceEntries();
    Q_CLEANUP_RESOURCE(resources);
    const QStringList withoutIcons = resourceEntries();
    const bool grayGone = !QFile::exists(Gray);
    Q_INIT_RESOURCE(resources);
    QVERIFY(grayGone);
    QCOMPARE(resourceEntries(), withIcons);

    QStringList ours;
    for (const QString &entry : withIcons)
        if (!withoutIcons.contains(entry))
            ours.append(entry);
    QCOMPARE(ours, QStringList({":/resources", ":/resources/png", Gray, Green}));
}

// Uncompressed, so the bytes rcc embedded are the PNG files themselves.
void tst_Icons::storedUncompressed_data()
{
    addIconRows();
}

void tst_Icons::storedUncompressed()
{
    QFETCH(QString, path);
    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QVERIFY(!resource.isCompressed());
    QT_WARNING_POP
    const QByteArray embedded(
        reinterpret_cast<const char *>(resource.data()), static_cast<int>(resource.size()));
    QCOMPARE(embedded, fileBytes(path));
}

void tst_Icons::pngHeader_data()
{
    QTest::addColumn<QString>("path");
    const QString source = QFINDTESTDATA("../src/resources/png/icon_gray.png");
    QVERIFY2(!source.isEmpty(), "icon sources not found beside the tests");
    const QString folder = QFileInfo(source).absolutePath();
    QTest::newRow("gray resource") << Gray;
    QTest::newRow("green resource") << Green;
    QTest::newRow("gray file") << folder + "/icon_gray.png";
    QTest::newRow("green file") << folder + "/icon_green.png";
}

// 256 x 256, bit depth 8, colour type 6 (RGB with alpha), straight from the IHDR chunk.
void tst_Icons::pngHeader()
{
    QFETCH(QString, path);
    const QByteArray png = fileBytes(path);
    QVERIFY(png.size() > 33);
    QCOMPARE(png.left(8), QByteArray::fromHex("89504e470d0a1a0a"));
    QCOMPARE(bigEndian32(png, 8), quint32(13));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(bigEndian32(png, 16), quint32(256)); // width
    QCOMPARE(bigEndian32(png, 20), quint32(256)); // height
    QCOMPARE(int(png.at(24)), 8); // bits per channel
    QCOMPARE(int(png.at(25)), 6); // RGBA
    QCOMPARE(int(png.at(28)), 0); // not interlaced

    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(256, 256));
    QVERIFY(image.hasAlphaChannel());
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
