#include "qitemvideowidget.h"

#include <QDateTime>
#include <QPointer>

#include "logger.h"
#include "qtutils.h"
#include "quihelper.h"
#include "qmsgbox.h"
#include "qrenamedialog.h"
#include "qreplyrelay.h"
#include "quiscale.h"
#include "quser.h"
#include "ui_qitemvideowidget.h"

QItemVideoWidget::QItemVideoWidget(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemVideoWidgetClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    init();
}

QItemVideoWidget::~QItemVideoWidget()
{
    delete m_ui;
}

void QItemVideoWidget::init()
{
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/itemVideo.css")));
}

void QItemVideoWidget::setData(const QValue &item)
{
    showName(QUiHelper::memberText(item, "video_name"));

    bool isNumber = false;
    double bytes = QUiHelper::memberText(item, "size").toDouble(&isNumber);
    if (!isNumber)
        bytes = 0.0;
    m_ui->labelVideoSize->setText(formatFileSize(bytes / 1024.0 / 1024.0));

    const uint uploaded = QUiHelper::memberText(item, "upload_time").toUInt(&isNumber, 10);
    const QDateTime time = QDateTime::fromSecsSinceEpoch(isNumber ? uploaded : 0);
    m_ui->labelUploadTime->setText(time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));

    const int duration = QUiHelper::memberText(item, "duration").toInt(&isNumber, 10);
    m_ui->labelVideoTime->setText(formatDuration(isNumber ? duration : 0));

    m_videoKey = QUiHelper::memberText(item, "video_key");

    const int encrypted = QUiHelper::memberText(item, "encrypted").toInt(&isNumber, 10);
    if (isNumber)
    {
        switch (encrypted)
        {
        case 0:
        case 4:
            m_ui->labelVideoType->setText(QStringLiteral("Web加密"));
            break;
        case 7:
        case 8:
            m_ui->labelVideoType->setText(QStringLiteral("常规加密"));
            break;
        default:
            break;
        }
    }
}

void QItemVideoWidget::showName(const QString &name)
{
    m_name = name;
    QUiHelper::setElidedName(m_ui->labelVideoName, name);
}

QString QItemVideoWidget::name() const
{
    return m_name;
}

QString QItemVideoWidget::videoKey() const
{
    return m_videoKey;
}

QString QItemVideoWidget::formatDuration(int seconds)
{
    const int s = qMax(0, seconds);
    const QLatin1Char zero('0');
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600, 2, 10, zero)
        .arg((s / 60) % 60, 2, 10, zero)
        .arg(s % 60, 2, 10, zero);
}

void QItemVideoWidget::rename()
{
    QUiHelper::guard(L"video row: rename", [this]() {
        if (m_renameSerial != 0)
        {
            QMsgBox::showMessage(tr("上一次重命名尚未完成，请稍后再试！"), 1);
            return;
        }
        // The list may drop this row while the dialog is open.
        QPointer<QItemVideoWidget> self(this);
        QRenameDialog dialog(name(), nullptr);
        const int result = dialog.execInFront();
        if (!self || result != 1 || m_renameSerial != 0)
            return;
        // The reply comes back with its own number: it names the request it answers.
        m_newName = dialog.fileName();
        m_renameSerial = ++m_lastSerial;
        auto *relay = new QReplyRelay(m_renameSerial, this);
        if (!connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this, SLOT(onRenameReplied(int,bool,QValue,QString))))
            LOG_ERROR(L"video row: the rename reply could not be connected");
        QUser::instance()->rename(m_videoKey, m_newName, relay, QReplyRelay::slotSignature());
    });
}

void QItemVideoWidget::remove(const std::function<void()> &callback)
{
    QUiHelper::guard(L"video row: delete", [this, &callback]() {
        m_removeCallback = callback;
        QUser::instance()->remove(m_videoKey, this, "onRemoveReponse(bool, const QValue&, const QString&)");
    });
}

void QItemVideoWidget::onRemoveReponse(bool ok, const QValue &, const QString &msg)
{
    QUiHelper::guard(L"video row: delete reply", [this, ok, &msg]() {
        if (!ok)
        {
            QUiHelper::showReplyError(msg);
            return;
        }
        // The callback only schedules the removal: this row is not destroyed in its own slot.
        if (m_removeCallback)
            m_removeCallback();
    });
}

void QItemVideoWidget::onRenameReplied(int serial, bool ok, const QValue &data, const QString &msg)
{
    if (serial != m_renameSerial)
        return;
    m_renameSerial = 0;
    onRenameReponse(ok, data, msg);
}

void QItemVideoWidget::onRenameReponse(bool ok, const QValue &, const QString &msg)
{
    QUiHelper::guard(L"video row: rename reply", [this, ok, &msg]() {
        if (!ok)
        {
            QUiHelper::showReplyError(msg);
            return;
        }
        if (!m_newName.isEmpty())
            showName(m_newName);
    });
}
