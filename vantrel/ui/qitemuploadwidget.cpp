#include "qitemuploadwidget.h"

#include <QTimer>

#include "logger.h"
#include "qtutils.h"
#include "uexception.h"
#include "qfilework.h"
#include "quihelper.h"
#include "quiscale.h"
#include "qworkpool.h"
#include "ui_qitemuploadwidget.h"

QItemUploadWidget::QItemUploadWidget(QFileWork *work, QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemUploadWidgetClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);

    double size = 0;
    if (work)
    {
        m_id = work->id();
        if (const auto video = work->video())
        {
            m_fileName = video->fileName();
            m_filePath = video->filePath();
            size = video->fileSize();
        }
        bool ok = connect(work, SIGNAL(signal_progress(int,int)), this, SLOT(onProgress(int,int)));
        ok = connect(work, SIGNAL(signal_error(QString)), this, SLOT(onError(QString))) && ok;
        ok = connect(work, SIGNAL(signal_complete()), this, SLOT(onComplete())) && ok;
        ok = connect(work, SIGNAL(signal_note(QString)), this, SLOT(onNote(QString))) && ok;
        if (!ok)
            LOG_ERROR(L"upload row: the job's signals could not be connected");
    }
    bool ok = connect(m_ui->btnOpenFolder, SIGNAL(clicked()), this, SLOT(onBtnOpenFolder()));
    ok = connect(m_ui->btnCancelUpload, SIGNAL(clicked()), this, SLOT(onBtnCancelUpload())) && ok;
    ok = connect(m_ui->btnReEncrypt, SIGNAL(clicked()), this, SLOT(onBtnReEncrypt())) && ok;
    if (!ok)
        LOG_ERROR(L"upload row: a button could not be connected");
    init(size);
}

QItemUploadWidget::QItemUploadWidget(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemUploadWidgetClass)
    , m_step(0)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    init(0);
}

QItemUploadWidget::~QItemUploadWidget()
{
    delete m_ui;
}

qint64 QItemUploadWidget::id() const
{
    return m_id;
}

void QItemUploadWidget::init(double size)
{
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/itemUpload.css")));
    refreshStyle(m_ui->progressBarUpload, "status", QStringLiteral("normal"));
    refreshStyle(m_ui->labelError, "status", QStringLiteral("none"));
    QUiHelper::setElidedName(m_ui->labelUploadVideoName, m_fileName);
    m_sizeText = formatFileSize(size);
    m_ui->labelUploadSize->setText(m_sizeText);
    m_ui->labelTip->setText(tr("等待上传"));
}

void QItemUploadWidget::setStageText(int stage)
{
    switch (stage)
    {
    case 0:
        m_ui->labelTip->setText(tr("正在转码"));
        break;
    case 2:
        m_ui->labelTip->setText(tr("正在加密"));
        break;
    case 3:
        m_ui->labelTip->setText(tr("正在上传"));
        break;
    default:
        break;
    }
}

void QItemUploadWidget::refreshStyle(QWidget *widget, const char *name, const QVariant &value)
{
    QUiHelper::refreshStyle(widget, name, value);
}

void QItemUploadWidget::onProgress(int stage, int percent)
{
    m_ui->progressBarUpload->setValue(percent);
    if (stage != m_step)
    {
        m_step = stage;
        setStageText(stage);
    }
}

void QItemUploadWidget::onComplete()
{
    m_failed = false;
    m_ui->progressBarUpload->setFormat(QStringLiteral("%p%"));
    m_ui->progressBarUpload->setValue(100);
    m_ui->labelTip->setText(tr("已完成"));
}

void QItemUploadWidget::onNote(const QString &note)
{
    QUiHelper::guardSilently(L"showing a stage note", [&]() {
        // Beside the size, where a failure would be told; the whole note is the tool tip.
        const QString text = note.simplified();
        if (text.isEmpty() || m_failed)
            return;
        QUiHelper::setElidedText(m_ui->labelUploadSize, tr("%1　%2").arg(m_sizeText, text),
                                 m_ui->labelUploadVideoName->maximumWidth());
        m_ui->labelUploadSize->setToolTip(QUiHelper::plainToolTip(text));
    });
}

void QItemUploadWidget::onError(const QString &msg)
{
    // Drawn a moment later, and only while this row still exists.
    const QString text = msg;
    QTimer::singleShot(20, this, [this, text]() { showError(text); });
}

void QItemUploadWidget::showError(const QString &msg)
{
    m_failed = true;
    m_ui->labelError->show();
    // The reason is written on the row itself (the marker's tool tip is easy to miss), cut to
    // the name's width; the whole reason is the tool tip of the line, the marker and the state.
    const QString reason = msg.trimmed().isEmpty() ? tr("未知错误") : msg.simplified();
    QUiHelper::setElidedText(m_ui->labelUploadSize, tr("%1　失败原因：%2").arg(m_sizeText, reason),
                             m_ui->labelUploadVideoName->maximumWidth());
    m_ui->labelUploadSize->setToolTip(QUiHelper::plainToolTip(reason));
    m_ui->labelError->setToolTip(QUiHelper::plainToolTip(reason));
    m_ui->labelTip->setToolTip(QUiHelper::plainToolTip(reason));
    refreshStyle(m_ui->labelUploadSize, "status", QStringLiteral("error"));
    // A failed job has no progress to show: the whole bar says so, not the percent it stopped at.
    m_ui->progressBarUpload->setValue(m_ui->progressBarUpload->maximum());
    m_ui->progressBarUpload->setFormat(tr("失败"));
    m_ui->progressBarUpload->setToolTip(QUiHelper::plainToolTip(reason));
    refreshStyle(m_ui->progressBarUpload, "status", QStringLiteral("error"));
    refreshStyle(m_ui->labelError, "status", QStringLiteral("error"));
    m_ui->labelTip->setText(tr("上传失败"));
    m_ui->labelError->repaint();
}

void QItemUploadWidget::onBtnReEncrypt()
{
    QUiHelper::guard(L"retry", [this]() {
        // Only a failed row retries: a second click cannot queue the job again.
        if (!m_failed || !QWorkPool::instance()->retryWork(m_id))
            return;
        m_failed = false;
        // The job waits in the queue again; the stage text follows with its next report.
        m_ui->labelTip->setText(tr("等待上传"));
        setStageText(m_step);
        // The marker keeps its place (only its image goes), so the text and the bar stay in
        // line with the other rows.
        m_ui->labelError->setToolTip(QString());
        m_ui->labelTip->setToolTip(QString());
        m_ui->labelUploadSize->setText(m_sizeText);
        // Queued again from nothing, as the overall bar counts it.
        m_ui->progressBarUpload->setFormat(QStringLiteral("%p%"));
        m_ui->progressBarUpload->setValue(0);
        m_ui->progressBarUpload->setToolTip(QString());
        m_ui->labelUploadSize->setToolTip(QString());
        refreshStyle(m_ui->labelUploadSize, "status", QStringLiteral("normal"));
        refreshStyle(m_ui->progressBarUpload, "status", QStringLiteral("normal"));
        refreshStyle(m_ui->labelError, "status", QStringLiteral("none"));
    });
}

void QItemUploadWidget::onBtnOpenFolder()
{
    QUiHelper::guard(L"open folder", [this]() { QUiHelper::showInFolder(m_filePath, m_fileName, tr("目录不存在!")); });
}

void QItemUploadWidget::onBtnCancelUpload()
{
    emit itemRemove(m_id);
}
