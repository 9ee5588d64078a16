// Renders the two tray icons (icon_gray.png, icon_green.png) into the directory given on the
// command line. Both are 256 x 256 RGBA with identical geometry; only the palette differs.
//
// Sample pixels that hold exact, opaque colours (useful for tests):
//   (0, 0)      corner outside the rounding: fully transparent (alpha 0)
//   (128, 3)    rim                 green #83CE5A  gray #949494
//   (128, 40)   body, upper half    green #5FBA2D  gray #747474
//   (128, 224)  body, lower half    green #6EC041  gray #818181
//   (172, 78)   glyph, upper half   green #EAF3E5  gray #ECECEC  (upper right circle centre)
//   (172, 178)  glyph, lower half   green #FAFAFA  gray #FAFAFA  (lower right circle centre)

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <cstdio>

namespace {

constexpr int Size = 256;
constexpr qreal CornerRadius = 44;
constexpr qreal RimWidth = 8;
constexpr qreal DotRadius = 25;
constexpr qreal StrokeWidth = 18;

const QPointF LeftDot(84, 128);
const QPointF UpperDot(172, 78);
const QPointF LowerDot(172, 178);

struct Palette
{
    QColor rim;
    QColor bodyUpper;
    QColor bodyLower;
    QColor glyphUpper;
    QColor glyphLower;
};

QPainterPath roundedSquare(qreal inset)
{
    QPainterPath path;
    const QRectF rect(inset, inset, Size - 2 * inset, Size - 2 * inset);
    path.addRoundedRect(rect, CornerRadius - inset, CornerRadius - inset);
    return path;
}

// Everything above a gentle arc that dips to the exact middle at the centre and sits a little
// lower at the sides; it splits both the body and the glyph into their two tones.
QPainterPath upperHalf()
{
    QPainterPath path;
    path.moveTo(0, 0);
    path.lineTo(Size, 0);
    path.lineTo(Size, 138);
    path.quadTo(Size / 2.0, 118, 0, 138);
    path.closeSubpath();
    return path;
}

QPainterPath shareGlyph()
{
    QPainterPath glyph;
    for (const QPointF &centre : {LeftDot, UpperDot, LowerDot})
        glyph.addEllipse(centre, DotRadius, DotRadius);

    QPainterPath links;
    links.moveTo(LeftDot);
    links.lineTo(UpperDot);
    links.moveTo(LeftDot);
    links.lineTo(LowerDot);
    QPainterPathStroker stroker;
    stroker.setWidth(StrokeWidth);
    return glyph.united(stroker.createStroke(links));
}

// Each two-tone shape is filled whole in its lower colour and then overpainted above the arc,
// so the seam blends the two tones directly instead of letting the rim shine through.
void fillTwoTone(
    QPainter &painter, const QPainterPath &shape, const QColor &upper, const QColor &lower)
{
    painter.fillPath(shape, lower);
    painter.fillPath(shape.intersected(upperHalf()), upper);
}

QImage render(const Palette &palette)
{
    QImage image(Size, Size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(roundedSquare(0), palette.rim);
    fillTwoTone(painter, roundedSquare(RimWidth), palette.bodyUpper, palette.bodyLower);
    fillTwoTone(painter, shareGlyph(), palette.glyphUpper, palette.glyphLower);
    return image;
}

bool write(const QDir &dir, const char *name, const Palette &palette)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (render(palette).save(path, "PNG"))
        return true;
    std::fprintf(stderr, "tavrel-icongen: cannot write %s\n", qPrintable(path));
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "tavrel-icongen: cannot create %s\n", argv[1]);
        return 1;
    }

    const Palette gray {"#949494", "#747474", "#818181", "#ECECEC", "#FAFAFA"};
    const Palette green {"#83CE5A", "#5FBA2D", "#6EC041", "#EAF3E5", "#FAFAFA"};
    const bool ok = write(dir, "icon_gray.png", gray) && write(dir, "icon_green.png", green);
    return ok ? 0 : 1;
}
