#include "dialogs/aboutdlg.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QUrl>

namespace {
const char releaseDate[] = "05.11.2015";
const char copyrightYears[] = " 2010-2015";
const char licenseDocument[] = "license/NUV_OSD.pdf";
} // namespace

std::function<bool(const QUrl &)> AboutDlg::urlOpener = &QDesktopServices::openUrl;

AboutDlg::AboutDlg(QWidget *parent) : QDialog(parent)
{
    setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());

    // One multi-argument arg() so that a '%' in the translated product name is left alone.
    label_version->setText(
        QStringLiteral("%1 v%2 %3").arg(label_version->text(), QStringLiteral(OSTREL_VERSION), QString()));
    label_date->setText(QString::fromLatin1(releaseDate));
    label_copy->setText(label_copy->text() + QString::fromLatin1(copyrightYears));

    // A proper file URL: the directory path is absolute, so gluing it behind "file:///" would give
    // four slashes, and spaces or '#' in it would break the link.
    const QUrl document = QUrl::fromLocalFile(
        QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(licenseDocument)));
    label_osd->setText(tr("This product uses third-party <a href=\"%1\">Open-Source software</a>")
                           .arg(document.toString(QUrl::FullyEncoded).toHtmlEscaped()));
    label_osd->setTextFormat(Qt::RichText);
    label_osd->setOpenExternalLinks(false);
    connect(label_osd, &QLabel::linkActivated, this, &AboutDlg::processLink);
}

void AboutDlg::processLink(const QString &link)
{
    const QUrl url(link, QUrl::TolerantMode);
    if (urlOpener && urlOpener(url))
        return;
    QMessageBox::warning(this, QStringLiteral("Error"),
                         QStringLiteral("Failed to open ") + url.toString() +
                             QStringLiteral(" Do you have a PDF reader installed?"),
                         QMessageBox::Ok);
}

#include "moc_aboutdlg.cpp"
