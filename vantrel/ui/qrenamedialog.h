#pragma once

#include "qbasedialog.h"

namespace Ui
{
    class QRenameDialogClass;
}

// Asks for a new name of a server video. The name is edited without its suffix, and the old
// suffix comes back with the result, so the file type cannot change.
class QRenameDialog : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QRenameDialog(const QString &name, QWidget *parent = nullptr);
    ~QRenameDialog() override;

    // The typed name without surrounding blanks, followed by the old suffix.
    QString fileName() const;

    void onEnter() override;

public slots:
    void onBtnOk();

private:
    Ui::QRenameDialogClass *m_ui;
    // "." + the suffix of the given name, or empty when it has none.
    QString m_suffix;
};
