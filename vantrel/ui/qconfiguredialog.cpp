#include "qconfiguredialog.h"

#include <cstdint>

#include <QDateTime>
#include <QListWidget>
#include <QMouseEvent>
#include <QTimer>

#include "commonfun.h"
#include "logger.h"
#include "uexception.h"
#include "qcreatecoursedialog.h"
#include "qdtavideo.h"
#include "qitemcoursewidget.h"
#include "qmsgbox.h"
#include "qplatformhosts.h"
#include "qreplyrelay.h"
#include "quihelper.h"
#include "quiscale.h"
#include "quser.h"
#include "qweblinks.h"
#include "ui_qconfiguredialog.h"

namespace
{
    const QString kGroup = QStringLiteral("config");

    void fill(QComboBox *box, const QList<QDtaConfig::QualityChoice> &choices)
    {
        for (const QDtaConfig::QualityChoice &choice : choices)
            box->addItem(choice.label, choice.value);
    }

    // Selects the stored choice of a box (none when the box has no such entry); the stored index.
    int restoreIndex(QComboBox *box, const char *key, int def)
    {
        const int index = CommonFun::getSettingInt(kGroup, QString::fromLatin1(key), def);
        box->setCurrentIndex(index < box->count() ? index : -1);
        return index;
    }

    QString currentData(const QComboBox *box)
    {
        return box->currentIndex() < 0 ? QString() : box->currentData(Qt::UserRole).toString();
    }
}

QConfigureDialog::QConfigureDialog(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QConfigureDialogClass)
{
    setup();
}

QConfigureDialog::QConfigureDialog(int)
    : QBaseDialog(nullptr)
    , m_ui(new Ui::QConfigureDialogClass)
{
    setup();
}

QConfigureDialog::~QConfigureDialog()
{
    delete m_ui;
}

void QConfigureDialog::setup()
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/configure.css"));

    m_ui->listWidgetCourse->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_ui->stackedWidgetConfigure->setCurrentIndex(0);
    m_ui->labelTextTip->hide();
    m_ui->frameWeb->hide();
    m_ui->frameCodec->move(QUIScale::scale(20), QUIScale::scale(20));
    m_ui->frameFast->move(QUIScale::scale(20), QUIScale::scale(146));
    for (QWidget *frame : {m_ui->frameWeb, m_ui->frameCodec, m_ui->frameFast})
        refreshStyle(frame, "checked", false);

    sendSearch();

    const int mode = CommonFun::getSettingInt(kGroup, QStringLiteral("encrypt_model"), 8);
    selectMode(mode);
    fillCombos();

    m_ui->frameCodec->installEventFilter(this);
    m_ui->frameFast->installEventFilter(this);
    m_ui->frameWeb->installEventFilter(this);

    bool ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose()));
    ok = connect(m_ui->btnReturn, SIGNAL(clicked()), this, SLOT(onBtnReturn())) && ok;
    ok = connect(m_ui->btnNext, SIGNAL(clicked()), this, SLOT(onBtnNext())) && ok;
    ok = connect(m_ui->btnCreateCourse, SIGNAL(clicked()), this, SLOT(onBtnCreateCourse())) && ok;
    ok = connect(m_ui->radioWeb, SIGNAL(clicked(bool)), this, SLOT(onRadioWeb(bool))) && ok;
    ok = connect(m_ui->radioCodec, SIGNAL(clicked(bool)), this, SLOT(onRadioCodec(bool))) && ok;
    ok = connect(m_ui->radioFast, SIGNAL(clicked(bool)), this, SLOT(onRadioFast(bool))) && ok;
    ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onBtnOk())) && ok;
    ok = connect(m_ui->comboBoxWeb, SIGNAL(currentIndexChanged(int)), this, SLOT(onComboBoxWeb(int))) && ok;
    ok = connect(m_ui->comboBoxVideoBitrate, SIGNAL(currentIndexChanged(int)), this, SLOT(onComboBoxVideoBitrate(int))) && ok;
    ok = connect(m_ui->comboBoxAudioBitrate, SIGNAL(currentIndexChanged(int)), this, SLOT(onComboBoxAudioBitrate(int))) && ok;
    ok = connect(m_ui->comboBoxResolution, SIGNAL(currentIndexChanged(int)), this, SLOT(onComboBoxResolution(int))) && ok;
    ok = connect(m_ui->listWidgetCourse, SIGNAL(currentRowChanged(int)), this, SLOT(onCurrentRowChanged(int))) && ok;
    ok = connect(m_ui->btnSearch, SIGNAL(clicked()), this, SLOT(onBtnSearch())) && ok;
    ok = connect(m_ui->lineEdit, SIGNAL(editingFinished()), this, SLOT(onEditingFinished())) && ok;
    ok = connect(m_ui->btnWaterMark, SIGNAL(clicked()), this, SLOT(onBtnWaterMark())) && ok;
    if (!ok)
        LOG_ERROR(L"settings dialog: a control could not be connected");

    setFocus();
}

void QConfigureDialog::selectMode(int mode)
{
    switch (mode)
    {
    case 4:
        onRadioWeb(true);
        break;
    case 7:
        onRadioFast(true);
        break;
    case 8:
        onRadioCodec(true);
        break;
    default:
        // An unknown stored mode falls back to the re-encode mode.
        LOG_WARNING(L"unknown stored encryption mode %d", mode);
        onRadioCodec(true);
        break;
    }
}

void QConfigureDialog::fillCombos()
{
    fill(m_ui->comboBoxVideoBitrate, QDtaConfig::videoBitrateChoices());
    onComboBoxVideoBitrate(restoreIndex(m_ui->comboBoxVideoBitrate, "video_bitrate", 3));

    fill(m_ui->comboBoxWeb, QDtaConfig::webQualityChoices());
    onComboBoxWeb(restoreIndex(m_ui->comboBoxWeb, "web_quality", 0));

    fill(m_ui->comboBoxAudioBitrate, QDtaConfig::audioBitrateChoices());
    onComboBoxAudioBitrate(restoreIndex(m_ui->comboBoxAudioBitrate, "audio_bitrate", 3));

    fill(m_ui->comboBoxResolution, QDtaConfig::resolutionChoices());
    onComboBoxResolution(restoreIndex(m_ui->comboBoxResolution, "resolution", 0));
}

void QConfigureDialog::loadCourseList(const QList<QDtaCourse> &courseList, int selectedRow)
{
    const QList<QDtaCourse> list = courseList;
    m_loader = [this, list, selectedRow]() { onLoadCourseList(list, selectedRow); };
    QTimer::singleShot(200, this, SLOT(onTimer()));
}

QDtaConfig &QConfigureDialog::config()
{
    return m_config;
}

void QConfigureDialog::onEnter()
{
    if (m_ui->stackedWidgetConfigure->currentIndex() == 1)
    {
        onBtnOk();
        return;
    }
    if (m_ui->lineEdit->hasFocus())
        m_ui->btnNext->setFocus();
    else
        onBtnNext();
}

QString QConfigureDialog::transcodeOptions(const QString &video, const QString &audio, const QString &resolution)
{
    return QDtaConfig::transcodeOptions(video, audio, resolution);
}

void QConfigureDialog::onBtnReturn()
{
    m_ui->stackedWidgetConfigure->setCurrentIndex(0);
    m_ui->frameSearch->show();
    m_ui->labelToolTip->setText(tr("视频文件属于哪个课程？"));
}

void QConfigureDialog::onBtnNext()
{
    if (m_creating)
        return;
    m_ui->stackedWidgetConfigure->setCurrentIndex(1);
    m_ui->frameSearch->hide();
    m_ui->labelToolTip->setText(tr("请选择视频的加密模式"));
}

void QConfigureDialog::onBtnCreateCourse()
{
    QUiHelper::guard(L"course creation", [this]() {
        QCreateCourseDialog dialog(this);
        if (dialog.execInFront() != QDialog::Accepted)
            return;
        if (m_creating)
            return;
        m_createdCourseName = dialog.courseName();
        auto *relay = new QReplyRelay(++m_createSerial, this);
        U_ASSERT_MSG(connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this,
                             SLOT(onCreateReplied(int,bool,QValue,QString))),
                     QStringLiteral("创建课程失败，请重试！"));
        setCreating(true);
        QUiHelper::createCourse(m_createdCourseName, relay, QReplyRelay::slotSignature());
        const int serial = m_createSerial;
        QTimer::singleShot(QUiHelper::courseCreateWaitMs(), this, [this, serial]() {
            QUiHelper::guardSilently(L"course creation wait", [&]() { onCreateWaitOver(serial); });
        });
    });
}

bool QConfigureDialog::isCreatingCourse() const
{
    return m_creating;
}

void QConfigureDialog::setCreating(bool creating)
{
    m_creating = creating;
    for (QWidget *button : {static_cast<QWidget *>(m_ui->btnCreateCourse), static_cast<QWidget *>(m_ui->btnNext),
                            static_cast<QWidget *>(m_ui->btnOk)})
        button->setEnabled(!creating);
    if (creating)
        m_ui->labelLoadNum->setText(tr("正在创建课程…"));
    else
        showLoadedCount();
}

void QConfigureDialog::showLoadedCount()
{
    m_ui->labelLoadNum->setText(tr("已加载%1项").arg(m_ui->listWidgetCourse->count()));
}

void QConfigureDialog::onCreateReplied(int serial, bool ok, const QValue &data, const QString &msg)
{
    if (serial != m_createSerial || !m_creating)
        return;
    setCreating(false);
    onCreateCourseReponse(ok, data, msg);
}

void QConfigureDialog::onCreateWaitOver(int serial)
{
    if (m_creating && serial == m_createSerial)
    {
        // No answer at all: a late one is not taken any more.
        ++m_createSerial;
        setCreating(false);
        m_unsureSerial = 0;
        reloadUnsure(QUiHelper::courseMayExistText());
        return;
    }
    // An answer that left the outcome open came earlier: a slow server may have made the
    // course since, so the list is asked for again (not while another creation is on its way).
    if (serial == m_unsureSerial && !m_creating)
    {
        m_unsureSerial = 0;
        sendSearch();
    }
}

void QConfigureDialog::onBtnOk()
{
    // The course being made is to be the batch's: confirming waits for it.
    if (m_creating)
        return;
    // Every file of the batch needs the course: without one, nothing is queued and the
    // dialog stays open on the course page.
    QListWidgetItem *item = m_ui->listWidgetCourse->currentItem();
    if (item)
        onCurrentRowChanged(m_ui->listWidgetCourse->row(item));
    if (!item || !QDtaVideo::isValidCourseId(m_config.courseId()))
    {
        QMsgBox::showMessage(tr("请先选择视频所属的课程！"), 1);
        onBtnReturn();
        return;
    }
    onOK();
}

void QConfigureDialog::onRadioWeb(bool)
{
    checkMode(4);
}

void QConfigureDialog::onRadioFast(bool)
{
    checkMode(7);
}

void QConfigureDialog::onRadioCodec(bool)
{
    checkMode(8);
}

void QConfigureDialog::checkMode(int mode)
{
    const struct
    {
        int mode;
        QRadioButton *radio;
        QFrame *frame;
    } modes[] = {{4, m_ui->radioWeb, m_ui->frameWeb}, {7, m_ui->radioFast, m_ui->frameFast},
                 {8, m_ui->radioCodec, m_ui->frameCodec}};
    for (const auto &entry : modes)
    {
        entry.radio->setChecked(entry.mode == mode);
        refreshStyle(entry.frame, "checked", entry.mode == mode);
    }
    m_config.setEncryptType(static_cast<uint8_t>(mode));
    CommonFun::setSetting(kGroup, QStringLiteral("encrypt_model"), mode);
}

void QConfigureDialog::onComboBoxWeb(int index)
{
    if (index < 0)
        return;
    if (index == 0)
    {
        m_config.setAutoConvert(false);
    }
    else
    {
        m_config.setAutoConvert(true);
        m_config.setWebQuality(currentData(m_ui->comboBoxWeb));
    }
    CommonFun::setSetting(kGroup, QStringLiteral("web_quality"), index);
}

void QConfigureDialog::onComboBoxAudioBitrate(int index)
{
    if (index < 0)
        return;
    CommonFun::setSetting(kGroup, QStringLiteral("audio_bitrate"), index);
    updateCodecQuality();
}

void QConfigureDialog::onComboBoxVideoBitrate(int index)
{
    if (index < 0)
        return;
    CommonFun::setSetting(kGroup, QStringLiteral("video_bitrate"), index);
    updateCodecQuality();
}

void QConfigureDialog::onComboBoxResolution(int index)
{
    if (index < 0)
        return;
    CommonFun::setSetting(kGroup, QStringLiteral("resolution"), index);
    updateCodecQuality();
}

void QConfigureDialog::updateCodecQuality()
{
    m_config.setCodecQuality(transcodeOptions(currentData(m_ui->comboBoxVideoBitrate),
                                              currentData(m_ui->comboBoxAudioBitrate),
                                              currentData(m_ui->comboBoxResolution)));
}

void QConfigureDialog::onBtnSearch()
{
    if (!QUiHelper::throttle(m_lastSearch, 500))
        return;
    sendSearch();
    clearCourseList();
}

void QConfigureDialog::sendSearch()
{
    QUiHelper::guardSilently(L"course search", [this]() {
        // Each search answers through its own relay: only the latest one fills the list.
        auto *relay = new QReplyRelay(++m_searchSerial, this);
        if (!connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this, SLOT(onSearchReplied(int,bool,QValue,QString))))
            LOG_ERROR(L"settings dialog: the search reply could not be connected");
        QUser::instance()->teacherVideoList(m_ui->lineEdit->text(), relay, QReplyRelay::slotSignature());
    });
}

void QConfigureDialog::onSearchReplied(int serial, bool ok, const QValue &data, const QString &msg)
{
    if (serial != m_searchSerial)
        return;
    onCourseReponse(ok, data, msg);
}

void QConfigureDialog::clearCourseList()
{
    m_loader = nullptr;
    m_createdRows = 0;
    for (int row = m_ui->listWidgetCourse->count() - 1; row >= 0; --row)
        delete m_ui->listWidgetCourse->takeItem(row);
}

void QConfigureDialog::onCurrentRowChanged(int currentRow)
{
    QListWidgetItem *item = m_ui->listWidgetCourse->item(currentRow);
    if (!item)
    {
        // The list was emptied (a new search): no course is chosen any more.
        m_config.setCourseId(QString());
        m_config.setCourseName(QString());
        return;
    }
    m_config.setCourseId(item->data(Qt::StatusTipRole).toString());
    m_config.setCourseName(item->data(Qt::UserRole).toString());
}

void QConfigureDialog::onEditingFinished()
{
    if (m_ui->lineEdit->hasFocus())
        onBtnSearch();
}

QListWidgetItem *QConfigureDialog::makeCourseItem(const QDtaCourse &course)
{
    auto *item = new QListWidgetItem();
    item->setSizeHint(QSize(QUIScale::scale(720), QUIScale::scale(40)));
    item->setData(Qt::StatusTipRole, course.id());
    // The name as it is; the tool tip shows it as text even when it looks like markup.
    item->setData(Qt::UserRole, course.name());
    item->setData(Qt::ToolTipRole, QUiHelper::plainToolTip(course.name()));
    return item;
}

void QConfigureDialog::onLoadCourseList(QList<QDtaCourse> courseList, int selectedRow)
{
    // Rows of courses made here stand on top and are not part of the list being loaded.
    const int start = m_ui->listWidgetCourse->count() - m_createdRows;
    const int end = start + 10;
    for (int i = start; i < courseList.size() && i < end; ++i)
    {
        QListWidgetItem *item = makeCourseItem(courseList.at(i));
        auto *row = new QItemCourseWidget();
        row->setData(courseList.at(i));
        m_ui->listWidgetCourse->addItem(item);
        m_ui->listWidgetCourse->setItemWidget(item, row);
    }
    // A course just made here stays the chosen one.
    if (selectedRow < end && m_createdRows == 0)
        m_ui->listWidgetCourse->setCurrentRow(selectedRow);
    if (end < courseList.size())
        QTimer::singleShot(50, this, SLOT(onTimer()));
    if (!m_creating)
        showLoadedCount();
}

void QConfigureDialog::onCourseReponse(bool ok, const QValue &data, const QString &msg)
{
    QUiHelper::guardSilently(L"course list reply", [&]() {
        if (!ok)
            return;
        const QList<QDtaCourse> list = QUiHelper::coursesFromReply(data);
        // The reply replaces the list: rows of an earlier list never mix into it.
        clearCourseList();
        loadCourseList(list, 0);
    });
}

void QConfigureDialog::onTimer()
{
    if (m_loader)
    {
        const std::function<void()> loader = m_loader;
        loader();
    }
}

void QConfigureDialog::onCreateCourseReponse(bool bOk, const QValue &val, const QString &msg)
{
    QUiHelper::guardSilently(L"course creation reply", [&]() {
        if (!bOk)
        {
            // The request may have made the course all the same: never a second one by
            // trying again blindly.
            if (QUiHelper::mayHaveBeenDone(msg))
            {
                LOG_WARNING(L"course creation ended without a whole answer: %s", msg);
                m_unsureSerial = m_createSerial;
                reloadUnsure(QUiHelper::courseMayExistText());
            }
            else
                QUiHelper::showReplyError(msg);
            return;
        }
        const qint64 id = QUiHelper::createdCourseId(val);
        if (id <= 0)
        {
            LOG_WARNING(L"course creation answered without a usable id: %s", toStyledQString(val).left(200));
            m_unsureSerial = m_createSerial;
            reloadUnsure(QUiHelper::courseIdMissingText());
            return;
        }
        QDtaCourse course;
        course.setName(m_createdCourseName);
        course.setId(QString::number(id));
        course.setCtime(static_cast<int32_t>(QDateTime::currentSecsSinceEpoch()));
        QListWidgetItem *item = makeCourseItem(course);
        auto *row = new QItemCourseWidget();
        row->setData(course);
        m_ui->listWidgetCourse->insertItem(0, item);
        m_ui->listWidgetCourse->setItemWidget(item, row);
        ++m_createdRows;
        // The course just made is the one the batch goes to.
        m_ui->listWidgetCourse->setCurrentRow(0);
        m_ui->listWidgetCourse->scrollToTop();
        showLoadedCount();
    });
}

void QConfigureDialog::reloadUnsure(const QString &message)
{
    // The list as the server has it now, the course made or not; asked before the box, so it
    // fills while the box is open.
    sendSearch();
    QMsgBox::showMessage(message, 1);
}

void QConfigureDialog::onBtnWaterMark()
{
    QWebLinks::open(QPlatformHosts::siteHost(), QStringLiteral("/help/web/#/4?page_id=630"));
}

bool QConfigureDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
    {
        if (watched == m_ui->frameWeb)
            onRadioWeb(true);
        else if (watched == m_ui->frameCodec)
            onRadioCodec(true);
        else if (watched == m_ui->frameFast)
            onRadioFast(true);
    }
    return QBaseDialog::eventFilter(watched, event);
}
