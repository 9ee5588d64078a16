// Scales a square PNG to the given size, for the application icon's smaller sizes:
//   tavrel-iconscale INPUT.png SIZE OUTPUT.png
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s INPUT.png SIZE OUTPUT.png\n", argv[0]);
        return 2;
    }
    const QImage input(QString::fromLocal8Bit(argv[1]));
    const int size = QString::fromLatin1(argv[2]).toInt();
    if (input.isNull() || size <= 0) {
        std::fprintf(stderr, "tavrel-iconscale: cannot read %s or bad size %s\n", argv[1], argv[2]);
        return 1;
    }
    // Premultiplied, so the transparent corners do not bleed dark fringes into the edge.
    const QImage scaled = input.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                              .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_ARGB32);
    if (!scaled.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "tavrel-iconscale: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
