#include "qaboutdialog.h"

#include "cglobal.h"
#include "logger.h"
#include "quiscale.h"
#include "ui_qaboutdialog.h"

QAboutDialog::QAboutDialog(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QAboutDialogClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/about.css"));
    if (!connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose())))
        LOG_ERROR(L"about dialog: the close button could not be connected");

    QString version = QStringLiteral(VANTREL_VERSION_TEXT);
    if (version.startsWith(QLatin1Char('v')))
        version.remove(0, 1);
    m_ui->labelCurVer->setText(QStringLiteral("当前版本：v%1").arg(version));
    m_ui->labelUpdateDate->setText(QStringLiteral("更新日期：%1").arg(formatBuildDate(CGlobal::buildDate())));
}

QAboutDialog::~QAboutDialog()
{
    delete m_ui;
}

QString QAboutDialog::formatBuildDate(int yyyymmdd)
{
    QString text = QString::number(yyyymmdd, 10);
    if (text.length() < 5)
        return text;
    text.insert(text.length() - 2, QLatin1Char('.'));
    text.insert(text.length() - 5, QLatin1Char('.'));
    return text;
}
