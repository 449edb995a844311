#include "qmsgbox.h"

#include <memory>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "logger.h"
#include "quihelper.h"
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
    QLabel *label = m_ui->labelMsg;
    // Measured with the style sheet's font.
    ensurePolished();
    label->setText(text);
    label->setToolTip(QString());

    // The box grows to the text: wider for a long unbroken word (a path), taller for many
    // lines, up to most of the screen; what still does not fit is the label's tool tip.
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1280, 800);
    const int maxWidth = qMax(label->width(), screen.width() * 9 / 10 - (width() - label->width()));
    const int maxHeight = qMax(label->height(), screen.height() * 9 / 10 - (height() - label->height()));
    const int wordWidth = label->minimumSizeHint().width();
    int labelWidth = qBound(label->width(), wordWidth, maxWidth);
    // Too many lines for the screen: wider lines first.
    while (label->heightForWidth(labelWidth) > maxHeight && labelWidth < maxWidth)
        labelWidth = qMin(maxWidth, labelWidth + QUIScale::scale(40));
    const int needHeight = label->heightForWidth(labelWidth);
    const int growWidth = labelWidth - label->width();
    const int growHeight = qBound(0, needHeight - label->height(), maxHeight - label->height());
    if (growWidth > 0 || growHeight > 0)
    {
        label->resize(label->width() + growWidth, label->height() + growHeight);
        m_ui->btnClose->move(m_ui->btnClose->x() + growWidth, m_ui->btnClose->y());
        resize(width() + growWidth, height() + growHeight);
    }
    if (wordWidth > label->width() || needHeight > label->height())
        label->setToolTip(QUiHelper::plainToolTip(text));
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
