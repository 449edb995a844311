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

public slots:
    void onBtnLogin();
    void onBtnForgetPassword();
    void onBtnRegisterAgency();
    void onBtnMinmize();
    void onBtnClose();
    void onLoginReponse(bool ok, const QValue &data, const QString &msg);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void restoreAccount();

    Ui::QLoginDialogClass *m_ui;
};
