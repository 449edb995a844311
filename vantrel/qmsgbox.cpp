#include "qmsgbox.h"

#include <memory>

#include "logger.h"
#include "quiscale.h"
#include "ui_qmsgbox.h"

QMsgBox::QMsgBox(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QMsgBoxClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/msgbox.css"));

    bool ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onOK()));
    ok = connect(m_ui->btnCancel, SIGNAL(clicked()), this, SLOT(onClose())) && ok;
    ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose())) && ok;
    if (!ok)
        LOG_ERROR(L"message box: a button could not be connected");
    m_ui->btnOk->setFocus();
}

QMsgBox::~QMsgBox()
{
    delete m_ui;
}

int QMsgBox::showMessage(const QString &text, int type)
{
    auto box = std::make_unique<QMsgBox>(nullptr);
    box->setText(text);
    box->setType(type);
    return box->execInFront();
}

void QMsgBox::setText(const QString &text)
{
    m_ui->labelMsg->setText(text);
}

void QMsgBox::setType(int type)
{
    switch (type)
    {
    case 1:
        m_ui->btnOk->show();
        m_ui->btnCancel->hide();
        break;
    case 2:
        m_ui->btnOk->hide();
        m_ui->btnCancel->show();
        break;
    case 3:
        m_ui->btnOk->show();
        m_ui->btnCancel->show();
        break;
    default:
        break;
    }
}
