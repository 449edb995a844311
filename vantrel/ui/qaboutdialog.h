#pragma once

#include "qbasedialog.h"

namespace Ui
{
    class QAboutDialogClass;
}

// Product name, program version and build date.
class QAboutDialog : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QAboutDialog(QWidget *parent = nullptr);
    ~QAboutDialog() override;

    // A yyyymmdd date as "yyyy.mm.dd" (20210813 gives "2021.08.13").
    static QString formatBuildDate(int yyyymmdd);

private:
    Ui::QAboutDialogClass *m_ui;
};
