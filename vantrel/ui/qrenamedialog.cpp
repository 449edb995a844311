#include "qrenamedialog.h"

#include <QFileInfo>

#include "logger.h"
#include "qmsgbox.h"
#include "quihelper.h"
#include "quiscale.h"
#include "ui_qrenamedialog.h"

QRenameDialog::QRenameDialog(const QString &name, QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QRenameDialogClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);

    const QString suffix = QFileInfo(name).suffix();
    if (!suffix.isEmpty())
        m_suffix = QLatin1Char('.') + suffix;
    m_ui->editFileName->setText(name.left(name.length() - m_suffix.length()));

    initFrameless(QStringLiteral(":/qss/rename.css"));
    bool ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose()));
    ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onBtnOk())) && ok;
    if (!ok)
        LOG_ERROR(L"rename dialog: a button could not be connected");

    m_ui->editFileName->setFocus();
    m_ui->editFileName->selectAll();
}

QRenameDialog::~QRenameDialog()
{
    delete m_ui;
}

QString QRenameDialog::fileName() const
{
    return m_ui->editFileName->text().trimmed() + m_suffix;
}

void QRenameDialog::onEnter()
{
    onBtnOk();
}

void QRenameDialog::onBtnOk()
{
    QUiHelper::guard(L"rename dialog: confirm", [this]() {
        if (m_ui->editFileName->text().trimmed().isEmpty())
        {
            QMsgBox::showMessage(QStringLiteral("文件名称不能为空！"), 1);
            m_ui->editFileName->setFocus();
            return;
        }
        onOK();
    });
}
