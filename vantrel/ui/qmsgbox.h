#pragma once

#include "qbasedialog.h"

namespace Ui
{
    class QMsgBoxClass;
}

// The program's message and confirmation box.
class QMsgBox : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QMsgBox(QWidget *parent = nullptr);
    ~QMsgBox() override;

    // Runs a modal box in front; type 1 OK only, 2 Cancel only, 3 OK and Cancel.
    // Returns 1 when the user confirmed, 0 otherwise.
    static int showMessage(const QString &text, int type);

    // The message, shown with a quoted part ("“…”") kept on one line where it fits.
    void setText(const QString &text);
    // The message as given to setText.
    QString text() const;
    void setType(int type);

private:
    Ui::QMsgBoxClass *m_ui;
    QString m_text;
};
