// Draws an SVG icon into PNG files of the given sizes, at build time, as Qt's SVG icon engine
// would draw it at run time: so the agent shows the same icon without loading Qt SVG.
//
//   ulvarend-icon-renderer ICON.svg FOLDER SIZE...   writes FOLDER/SIZE.png for each SIZE
//
// Runs on the build machine only; exits with 1 and a message on standard error when the SVG
// cannot be read or a file cannot be written.

#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ICON.svg FOLDER SIZE...\n", argv[0]);
        return 1;
    }
    QSvgRenderer renderer{QString::fromLocal8Bit(argv[1])};
    if (!renderer.isValid()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "%s: %s is no icon size\n", argv[0], argv[i]);
            return 1;
        }
        // The icon engine's way: a transparent premultiplied image the SVG fills, keeping its
        // aspect ratio.
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSize drawn = renderer.defaultSize();
        drawn.scale(size, size, Qt::KeepAspectRatio);
        QPainter painter(&image);
        renderer.render(
            &painter,
            QRectF(QPointF((size - drawn.width()) / 2.0, (size - drawn.height()) / 2.0), drawn));
        painter.end();
        const QString file = folder + QStringLiteral("/%1.png").arg(size);
        if (!image.save(file, "PNG")) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(file));
            return 1;
        }
    }
    return 0;
}
