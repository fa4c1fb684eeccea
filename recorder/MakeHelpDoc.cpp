// Build-time tool: lays out the user guide (an HTML file with its pictures beside it) as the PDF
// help document "Fonolux Doc.pdf" that the Help button opens.
// Usage: make_help_doc GUIDE.html OUTPUT.pdf   (exit status 0 when the PDF was written)
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>
#include <QUrl>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: make_help_doc GUIDE.html OUTPUT.pdf\n", stderr);
        return 2;
    }
    // Fonts and pictures need a GUI application; no display is needed or wanted.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString guide = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);

    QFile in(guide);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make_help_doc: cannot read %s: %s\n", argv[1], qPrintable(in.errorString()));
        return 1;
    }
    QTextDocument doc;
    // Pictures named in the guide are found relative to it.
    doc.setBaseUrl(QUrl::fromLocalFile(QFileInfo(guide).absolutePath() + QLatin1Char('/')));
    doc.setHtml(QString::fromUtf8(in.readAll()));

    // Written under a temporary name first, so a failed run leaves no half document behind.
    const QString part = output + QStringLiteral(".part");
    {
        QPdfWriter pdf(part);
        pdf.setTitle(QStringLiteral("Fonolux Doc"));
        pdf.setCreator(QStringLiteral("Fonolux"));
        pdf.setResolution(96);
        pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                      QMarginsF(18, 16, 18, 16), QPageLayout::Millimeter));
        // Page by page: the document laid out at the printable width, each page's slice drawn.
        const QRect page = pdf.pageLayout().paintRectPixels(pdf.resolution());
        doc.setPageSize(page.size());
        QPainter painter(&pdf);
        if (!painter.isActive()) {
            std::fprintf(stderr, "make_help_doc: cannot write %s\n", argv[2]);
            return 1;
        }
        for (int i = 0; i < doc.pageCount(); ++i) {
            if (i > 0)
                pdf.newPage();
            painter.save();
            painter.translate(0, -i * page.height());
            doc.drawContents(&painter, QRectF(0, i * page.height(), page.width(), page.height()));
            painter.restore();
        }
    }
    QFile::remove(output);
    if (QFileInfo(part).size() <= 0 || !QFile::rename(part, output)) {
        std::fprintf(stderr, "make_help_doc: cannot write %s\n", argv[2]);
        QFile::remove(part);
        return 1;
    }
    return 0;
}
