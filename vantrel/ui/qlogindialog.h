#pragma once

#include "qbasedialog.h"
#include "qvalue.h"

namespace Ui
{
    class QLoginDialogClass;
}

// The sign-in window: remembers the last account, signs in through QUser and keeps the
// reply's sign-in values there. Accepted means signed in.
class QLoginDialog : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QLoginDialog(QWidget *parent = nullptr);
    ~QLoginDialog() override;

    void onEnter() override;
    // A line above the sign-in button, e.g. why signing in again is needed.
    void setNotice(const QString &text);
    // A sign-in request is on its way: the button is off until its answer.
    bool isWaiting() const;

public slots:
    void onBtnLogin();
    void onBtnForgetPassword();
    void onBtnRegisterAgency();
    void onBtnMinmize();
    void onBtnClose();
    void onLoginReponse(bool ok, const QValue &data, const QString &msg);

private slots:
    void onLoginReplied(int serial, bool ok, const QValue &data, const QString &msg);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void restoreAccount();
    void setWaiting(bool waiting);

    Ui::QLoginDialogClass *m_ui;
    bool m_waiting = false;
    // The request whose answer the dialog waits for; a later number drops a late answer.
    int m_loginSerial = 0;
};
