#include "qitemrecordwidget.h"

#include <QDateTime>

#include "logger.h"
#include "qtutils.h"
#include "uexception.h"
#include "qrecords.h"
#include "quihelper.h"
#include "quiscale.h"
#include "ui_qitemrecordwidget.h"

QItemRecordWidget::QItemRecordWidget(const record_ptr &record, QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemRecordWidgetClass)
{
    if (record)
    {
        m_id = record->id();
        m_fileName = record->fileName();
        m_filePath = record->filePath();
    }
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/itemRecord.css")));

    if (record)
    {
        m_ui->labelFileType->setText(modeText(record->fileType()));
        // Cut to its column: the mode, time and status columns stay where every row has them.
        QUiHelper::keepElidedName(m_ui->labelRecordVideoName, m_fileName, m_filePath + m_fileName);
        m_ui->labelRecordVideoSize->setText(formatFileSize(record->fileSize()));
        m_ui->labelRecordTime->setText(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(record->time()))
                                           .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    }
    connectButtons();
}

QItemRecordWidget::QItemRecordWidget(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemRecordWidgetClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/itemRecord.css")));
    connectButtons();
}

QItemRecordWidget::~QItemRecordWidget()
{
    delete m_ui;
}

qint64 QItemRecordWidget::id() const
{
    return m_id;
}

QString QItemRecordWidget::modeText(uint32_t fileType)
{
    switch (fileType)
    {
    case 4:
        return QStringLiteral("Web加密模式");
    case 7:
        return QStringLiteral("快速加密模式");
    case 8:
        return QStringLiteral("高强度重编码加密");
    default:
        return QStringLiteral("未知加密模式");
    }
}

void QItemRecordWidget::connectButtons()
{
    bool ok = connect(m_ui->btnDelRecord, SIGNAL(clicked()), this, SLOT(onBtnDelRecord()));
    ok = connect(m_ui->btnOpenFolder, SIGNAL(clicked()), this, SLOT(onBtnOpenFolder())) && ok;
    if (!ok)
        LOG_ERROR(L"record row: a button could not be connected");
}

void QItemRecordWidget::onBtnOpenFolder()
{
    QUiHelper::guard(L"open folder", [this]() { QUiHelper::showInFolder(m_filePath, m_fileName, tr("文件目录不存在!")); });
}

void QItemRecordWidget::onBtnDelRecord()
{
    QUiHelper::guard(L"record removal", [this]() { QRecords::instance()->removeRecord(m_id); });
}
