#pragma once

#include "ui_aboutdialog.h"

#include <QDialog>
#include <functional>

class QUrl;

// Product, version and maker, with a link to the notice of the open-source components used.
class AboutDlg : public QDialog, private Ui::AboutDialog
{
    Q_OBJECT
public:
    explicit AboutDlg(QWidget *parent = nullptr);

    // Opens a URL with the desktop's handler and tells whether that worked. Replaceable so that
    // the failure path can be exercised without a desktop.
    static std::function<bool(const QUrl &)> urlOpener;

public slots:
    void processLink(const QString &link);
};
