#include "qmainwidget.h"

#include <algorithm>
#include <cstdint>

#include <QCursor>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTimer>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qappsetting.h"
#include "qjsonfile.h"
#include "qtutils.h"
#include "uexception.h"
#include "qhttpclient.h"
#include "qplatformhosts.h"
#include "qconfiguredialog.h"
#include "qaboutdialog.h"
#include "qcreatecoursedialog.h"
#include "qcustomshadoweffect.h"
#include "quihelper.h"
#include "qfilework.h"
#include "qitemrecordwidget.h"
#include "qitemvideowidget.h"
#include "qlazyrowwidgets.h"
#include "qitemuploadwidget.h"
#include "qlogindialog.h"
#include "qmsgbox.h"
#include "qrecords.h"
#include "qreplyrelay.h"
#include "quiscale.h"
#include "qupdatedialog.h"
#include "quser.h"
#include "qvideolistwidget.h"
#include "qweblinks.h"
#include "qworkpool.h"
#include "shell.h"

namespace
{
    const int kRowWidth = 992;
    const int kRowHeight = 56;
    const int kVideoRowHeight = 40;
    // What a record page item carries: the record its row widget shows.
    const int kRecordRole = Qt::UserRole + 1;
    // Record items made in one go while the record page fills.
    const int kRecordBatch = 5000;
}

QMainWidget::QMainWidget(QWidget *parent)
    : QWidget(parent)
{
    ui.setupUi(this);
    QUIScale::scaleForm(this);
    qRegisterMetaType<record_ptr>("record_ptr");

    // The course page's video list becomes the server video list (with its context menu).
    ui.verticalLayout_5->removeWidget(ui.listWidgetVideo);
    delete ui.listWidgetVideo;
    auto *videoList = new QVideoListWidget(ui.pageVideoList);
    videoList->setObjectName(QStringLiteral("listWidgetVideo"));
    ui.verticalLayout_5->addWidget(videoList, 0);
    ui.listWidgetVideo = videoList;

    initUi();
    keepNotices();
    QHttpClient::instance()->pingEncryptService();
}

QMainWidget::~QMainWidget()
{
    QUiHelper::guardSilently(L"stopping the work pool", []() { QWorkPool::instance()->stop(); });
    clearListWidget(ui.listWidgetUpload);
    clearListWidget(ui.listWidgetRecord);
}

Ui::QMainWidgetClass &QMainWidget::form()
{
    return ui;
}

void QMainWidget::initUi()
{
    setWindowIcon(QIcon(QStringLiteral(":/images/ostrel.ico")));
    setWindowTitle(QStringLiteral("Tarvex视频加密系统"));
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/main.css")));
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAcceptDrops(true);
    ui.labelVersion->setText(QStringLiteral(VANTREL_VERSION_TEXT));
    ui.btnSetting->hide();
    ui.btnHelp->hide();
    initMenu();

    for (QListWidget *list : {ui.listWidgetCourse, ui.listWidgetVideo, ui.listWidgetUpload, ui.listWidgetRecord})
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    ui.stackedWidgetUpload->setCurrentIndex(0);
    ui.stackedWidgetRecord->setCurrentIndex(0);
    ui.stackedWidgetMain->setCurrentIndex(1);
    ui.btnTabUpload->setChecked(true);
    ui.btnTabCourse->hide();
    ui.btnLogo->hide();

    QUiHelper::refreshStyle(ui.progressSpace, "nav", QStringLiteral("all"));
    ui.frameTitle->installEventFilter(this);
    ui.btnAllCancel->hide();
    ui.btnAllPause->hide();

    ui.stackedWidgetUpload->setAcceptDrops(true);
    ui.stackedWidgetUpload->installEventFilter(this);
    ui.stackedWidgetVideo->installEventFilter(this);
    ui.stackedWidgetVideo->setAcceptDrops(true);

    QCustomShadowEffect::installOn(this);

    ui.pageVideoEmpty->installEventFilter(this);
    // Rows follow their list's width whenever the list itself is resized (maximise, restore,
    // window resize), not at a moment the window may not have its final size yet.
    for (QListWidget *list : {ui.listWidgetUpload, ui.listWidgetRecord, ui.listWidgetVideo})
        list->viewport()->installEventFilter(this);
    m_recordRows = new QLazyRowWidgets(ui.listWidgetRecord, [this](QListWidgetItem *item) { return makeRecordRow(item); });
    initConnect();
    loadRecords();
}

void QMainWidget::initMenu()
{
    if (m_settingMenu)
        return;
    m_settingMenu.reset(new QMenu(this));
    struct Entry
    {
        const char *text;
        const char *slot;
    };
    const Entry entries[] = {{"进入后台", SLOT(onBtnHome())}, {"帮助中心", SLOT(onBtnHelp())},
                             {"关于我们", SLOT(onBtnAbout())}, {"检查更新", SLOT(onBtnUpdate())}};
    for (const Entry &entry : entries)
    {
        auto *action = new QAction(QString::fromUtf8(entry.text), this);
        if (!connect(action, SIGNAL(triggered()), this, entry.slot))
            LOG_ERROR(L"settings menu: an action could not be connected");
        m_settingMenu->addAction(action);
    }
}

void QMainWidget::initConnect()
{
    struct Link
    {
        QObject *sender;
        const char *signal;
        const char *slot;
    };
    const Link links[] = {
        {ui.btnMin, SIGNAL(clicked()), SLOT(onBtnMin())},
        {ui.btnMax, SIGNAL(clicked()), SLOT(onBtnMax())},
        {ui.btnClose, SIGNAL(clicked()), SLOT(onBtnClose())},
        {ui.btnSetting, SIGNAL(clicked()), SLOT(onBtnSetting())},
        {ui.btnLogo, SIGNAL(clicked()), SLOT(onBtnLogo())},
        {ui.btnTabCourse, SIGNAL(clicked()), SLOT(onBtnTabCourse())},
        {ui.btnTabUpload, SIGNAL(clicked()), SLOT(onBtnTabUpload())},
        {ui.btnTabRecord, SIGNAL(clicked()), SLOT(onBtnTabRecord())},
        {ui.btnCreateCourse, SIGNAL(clicked()), SLOT(onBtnCreateCourse())},
        {ui.btnAllPause, SIGNAL(clicked()), SLOT(onBtnAllPause())},
        {ui.btnAllCancel, SIGNAL(clicked()), SLOT(onBtnAllCancel())},
        {ui.btnSearch, SIGNAL(clicked()), SLOT(onBtnSearchCourse())},
        {ui.btnUploadVideo, SIGNAL(clicked()), SLOT(onBtnUploadVideo())},
        {ui.btnClearRecord, SIGNAL(clicked()), SLOT(onBtnClearRecord())},
        {QUser::instance(), SIGNAL(tokenInvalid()), SLOT(onTokenInvalid())},
        {ui.listWidgetCourse, SIGNAL(currentRowChanged(int)), SLOT(onCourseItemChanged(int))},
        {QWorkPool::instance(), SIGNAL(addItem(QFileWork*)), SLOT(onAddUploadItem(QFileWork*))},
        {QWorkPool::instance(), SIGNAL(signal_progress(int)), SLOT(onUploadProgress(int))},
        {QRecords::instance(), SIGNAL(addItem(record_ptr)), SLOT(onAddRecordItem(record_ptr))},
        {QRecords::instance(), SIGNAL(removeItem(qlonglong)), SLOT(onRemoveRecordItem(qlonglong))},
        {QRecords::instance(), SIGNAL(loaded()), SLOT(onRecordsLoaded())},
        {this, SIGNAL(dropList(QList<QUrl>)), SLOT(onDropFileList(QList<QUrl>))},
        {ui.btnEnterHome, SIGNAL(clicked()), SLOT(onBtnHome())},
        {ui.btnHelpSite, SIGNAL(clicked()), SLOT(onBtnTutorial())},
        {ui.btnUpgrade, SIGNAL(clicked()), SLOT(onBtnUpdate())},
        {ui.lineEdit, SIGNAL(editingFinished()), SLOT(onEditingFinished())},
        {ui.btnHelp, SIGNAL(clicked()), SLOT(onBtnHelp())},
        {ui.btnAddFile, SIGNAL(clicked()), SLOT(onBtnUploadVideo())},
        {ui.btnDelFile, SIGNAL(clicked()), SLOT(onBtnDelFile())},
        {ui.listWidgetVideo, SIGNAL(listRefresh()), SLOT(onVideoListRefresh())},
    };
    for (const Link &link : links)
    {
        if (!connect(link.sender, link.signal, this, link.slot))
            LOG_ERROR(L"main window: %s could not be connected to %s", link.signal, link.slot);
    }
    // Queued also when a save on this thread fails: its box never opens inside the save (nor
    // inside the stop at exit, when no loop would deliver it any more).
    if (!connect(QWorkPool::instance(), SIGNAL(saveFailed(QString)), this, SLOT(onWorkSaveFailed(QString)),
                 Qt::QueuedConnection))
        LOG_ERROR(L"main window: saveFailed could not be connected");
}

void QMainWidget::loadRecords()
{
    if (m_recordsListed)
        return;
    // The history is read on a thread of its own: the page fills once it is read, and shows
    // an empty list until then.
    if (!QRecords::instance()->isLoaded())
    {
        ui.stackedWidgetRecord->setCurrentIndex(1);
        return;
    }
    m_recordsListed = true;
    m_pendingRecords = QRecords::instance()->newestFirst();
    m_pendingNext = 0;
    if (ui.listWidgetRecord->count() > 0)
    {
        // Rows added before the history was read join it, in its order.
        for (int row = 0; row < ui.listWidgetRecord->count(); ++row)
        {
            const record_ptr record = recordAt(row);
            if (!record || pendingIndexOf(*record) >= 0)
                continue;
            const auto at = std::lower_bound(m_pendingRecords.begin(), m_pendingRecords.end(), record,
                                             [](const record_ptr &a, const record_ptr &b) { return QRecords::showsAbove(*a, *b); });
            m_pendingRecords.insert(at, record);
        }
        clearListWidget(ui.listWidgetRecord);
        m_recordItems.clear();
    }
    ui.stackedWidgetRecord->setCurrentIndex(recordCount() == 0 ? 0 : 1);
    ui.labelRecordNum->setText(QString::number(recordCount()));
    // Only the items are made here; the rows in view get their widgets.
    addPendingRecords();
}

void QMainWidget::onRecordsLoaded()
{
    QUiHelper::guard(L"history read", [&]() {
        loadRecords();
        // A damaged history was kept aside while it was read.
        keepNotices();
        if (m_started)
            QTimer::singleShot(0, this, [this]() { showNotices(); });
    });
}

void QMainWidget::addPendingRecords()
{
    QUiHelper::guard(L"record page", [&]() {
        QListWidget *list = ui.listWidgetRecord;
        const int end = qMin(m_pendingRecords.size(), m_pendingNext + kRecordBatch);
        while (m_pendingNext < end)
        {
            // The records that go below every row there is, added in one insertion: row by
            // row, a list in view would lay out all its rows for each.
            QVector<record_ptr> run;
            const record_ptr lastShown = list->count() > 0 ? recordAt(list->count() - 1) : record_ptr();
            for (; m_pendingNext < end; ++m_pendingNext)
            {
                const record_ptr &record = m_pendingRecords.at(m_pendingNext);
                if (m_recordItems.contains(record->id()))
                    continue;
                const record_ptr &above = run.isEmpty() ? lastShown : run.constLast();
                if (above && !QRecords::showsAbove(*above, *record))
                    break;
                run.append(record);
            }
            const int first = list->count();
            if (!run.isEmpty())
                list->insertItems(first, QVector<QString>(run.size()).toList());
            for (int i = 0; i < run.size(); ++i)
            {
                QListWidgetItem *item = list->item(first + i);
                fillRecordItem(item, run.at(i));
                m_recordItems.insert(run.at(i)->id(), item);
            }
            if (m_pendingNext < end && run.isEmpty())
            {
                // Above a row added meanwhile: in its place.
                const record_ptr record = m_pendingRecords.at(m_pendingNext++);
                QListWidgetItem *item = newRecordItem(record);
                list->insertItem(recordRowFor(*record), item);
                m_recordItems.insert(record->id(), item);
            }
        }
        if (m_pendingNext < m_pendingRecords.size())
        {
            QTimer::singleShot(0, this, [this]() { addPendingRecords(); });
            return;
        }
        m_pendingRecords.clear();
        m_pendingRecords.squeeze();
        m_pendingNext = 0;
        m_recordRows->refresh();
        emit historyListed();
    });
}

QListWidgetItem *QMainWidget::newRecordItem(const record_ptr &record) const
{
    auto *item = new QListWidgetItem();
    fillRecordItem(item, record);
    return item;
}

void QMainWidget::fillRecordItem(QListWidgetItem *item, const record_ptr &record) const
{
    item->setSizeHint(m_recordRowSize.isValid() ? m_recordRowSize
                                                : QSize(QUIScale::scale(kRowWidth), QUIScale::scale(kRowHeight)));
    item->setData(kRecordRole, QVariant::fromValue(record));
}

record_ptr QMainWidget::recordAt(int row) const
{
    QListWidgetItem *item = ui.listWidgetRecord->item(row);
    return item ? item->data(kRecordRole).value<record_ptr>() : record_ptr();
}

int QMainWidget::recordRowFor(const QDtaRecord &record) const
{
    // The first row that shows below `record`.
    int low = 0;
    int high = ui.listWidgetRecord->count();
    while (low < high)
    {
        const int middle = low + (high - low) / 2;
        const record_ptr shown = recordAt(middle);
        if (shown && QRecords::showsAbove(*shown, record))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

int QMainWidget::pendingIndexOf(const QDtaRecord &record) const
{
    const auto begin = m_pendingRecords.cbegin() + m_pendingNext;
    const auto at = std::lower_bound(begin, m_pendingRecords.cend(), record,
                                     [](const record_ptr &a, const QDtaRecord &b) { return QRecords::showsAbove(*a, b); });
    if (at == m_pendingRecords.cend() || (*at)->id() != record.id() || (*at)->time() != record.time())
        return -1;
    return static_cast<int>(at - m_pendingRecords.cbegin());
}

int QMainWidget::recordCount() const
{
    return m_recordItems.size() + (m_pendingRecords.size() - m_pendingNext);
}

QWidget *QMainWidget::makeRecordRow(QListWidgetItem *item) const
{
    const record_ptr record = item->data(kRecordRole).value<record_ptr>();
    return record ? new QItemRecordWidget(record, nullptr) : nullptr;
}

bool QMainWidget::login()
{
    m_signingIn = true;
    bool signedIn = false;
    QUiHelper::guardSilently(L"sign-in", [&]() {
        QLoginDialog dialog(nullptr);
        if (QUser::instance()->signInLost())
            dialog.setNotice(tr("登录已失效，请重新登录"));
        signedIn = dialog.exec() == QDialog::Accepted;
    });
    m_signingIn = false;
    return signedIn;
}

void QMainWidget::start()
{
    QWorkPool::instance()->start(QAppSetting::workerThreads(*QAppSetting::instance()));
    platform::bringToFront(windowHandle());
    // A damaged history or pending-work file was kept aside: said once the window is up, and
    // kept in the data folder until then (a start may end at the sign-in dialog).
    keepNotices();
    m_started = true;
    QTimer::singleShot(0, this, [this]() { showNotices(); });
    QUser::instance()->versionCheck(this, "onUpdateReponse(bool, const QValue&, const QString&)");
}

void QMainWidget::onWorkSaveFailed(const QString &message)
{
    QUiHelper::guard(L"work save notice", [&]() { QMsgBox::showMessage(message, 1); });
}

QString QMainWidget::noticeFile()
{
    return CGlobal::dataPath() + QStringLiteral("notices.json");
}

void QMainWidget::keepNotices()
{
    QStringList taken;
    for (const QString &notice : {QRecords::instance()->takeSetAsideNotice(), QWorkPool::instance()->takeSetAsideNotice()})
    {
        if (notice.isEmpty())
            continue;
        LOG_WARNING(L"%s", notice);
        taken << notice;
    }
    if (taken.isEmpty())
        return;
    QStringList kept = keptNotices();
    for (const QString &notice : taken)
        if (!kept.contains(notice))
            kept << notice;
    QValue root(Json::arrayValue);
    for (const QString &notice : kept)
        root.append(notice.toStdString());
    if (!QJsonFile::write(noticeFile(), root))
        LOG_ERROR(L"the notices could not be kept in %s", noticeFile());
}

QStringList QMainWidget::keptNotices()
{
    QValue root;
    QStringList notices;
    if (!QJsonFile::read(noticeFile(), root) || !root.isArray())
        return notices;
    for (Json::ArrayIndex i = 0; i < root.size() && notices.size() < 16; ++i)
    {
        // Plain text of a sane length only.
        const QString text = root[i].isString() ? asQString(root[i]) : QString();
        if (!text.isEmpty() && text.size() <= 1024)
            notices << text;
    }
    return notices;
}

void QMainWidget::showNotices()
{
    const QStringList notices = keptNotices();
    if (notices.isEmpty())
        return;
    if (qEnvironmentVariableIntValue("VANTREL_UNATTENDED") != 1)
    {
        for (const QString &notice : notices)
            QUiHelper::guard(L"notice", [&]() { QMsgBox::showMessage(notice, 1); });
    }
    // Shown: not again at the next start.
    QFile::remove(noticeFile());
}

bool QMainWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui.frameTitle)
        return titleEventFilter(event);
    if (event->type() == QEvent::Resize)
    {
        if (watched == ui.listWidgetUpload->viewport())
            resizeRows(ui.listWidgetUpload, kRowHeight);
        else if (watched == ui.listWidgetRecord->viewport())
            resizeRows(ui.listWidgetRecord, kRowHeight);
        else if (watched == ui.listWidgetVideo->viewport())
            resizeRows(ui.listWidgetVideo, kVideoRowHeight);
    }

    switch (event->type())
    {
    case QEvent::MouseButtonPress:
        if (watched == ui.pageVideoEmpty && static_cast<QMouseEvent *>(event)->button() == Qt::RightButton)
            showVideoMenu();
        break;
    case QEvent::DragEnter:
        static_cast<QDragEnterEvent *>(event)->acceptProposedAction();
        break;
    case QEvent::Drop:
    {
        const QMimeData *mime = static_cast<QDropEvent *>(event)->mimeData();
        if (mime && mime->hasUrls())
            emit dropList(mime->urls());
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

bool QMainWidget::titleEventFilter(QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick)
    {
        onBtnMax();
        return false;
    }
    return QUiHelper::dragWindow(this, event, m_dragOffset, m_dragging);
}

void QMainWidget::showEvent(QShowEvent *event)
{
    setAttribute(Qt::WA_Mapped);
    if (!m_fitted && !isMaximized())
    {
        // Opens inside the free area of its screen, shrunk to it where it is larger: its lists
        // take what it loses.
        m_fitted = true;
        QUiHelper::placeOver(this, nullptr);
        QUiHelper::fitToScreen(this, true);
    }
    QWidget::showEvent(event);
    ui.btnMin->repaint();
}

void QMainWidget::onBtnMin()
{
    QTimer::singleShot(20, this, [this]() { showMinimized(); });
}

void QMainWidget::onBtnMax()
{
    // The rows follow when the lists get their new size (eventFilter).
    if (isMaximized())
        showNormal();
    else
        showMaximized();
    const int w = width();
    ui.frameTitleLeft->resize(w - QUIScale::scale(125), QUIScale::scale(88));
    ui.btnHelp->move(w - QUIScale::scale(196), QUIScale::scale(5));
}

void QMainWidget::onBtnClose()
{
    close();
}

void QMainWidget::onBtnLogo()
{
    QWebLinks::open(QPlatformHosts::webHost(), QStringLiteral("/"));
}

void QMainWidget::onBtnSetting()
{
    if (m_settingMenu)
        m_settingMenu->exec(QCursor::pos());
}

void QMainWidget::selectTab(int index)
{
    ui.btnTabCourse->setChecked(index == 0);
    ui.btnTabUpload->setChecked(index == 1);
    ui.btnTabRecord->setChecked(index == 2);
    ui.stackedWidgetMain->setCurrentIndex(index);
}

void QMainWidget::onBtnTabCourse()
{
    selectTab(0);
    resizeRows(ui.listWidgetVideo, kVideoRowHeight);
}

void QMainWidget::onBtnTabUpload()
{
    selectTab(1);
    resizeRows(ui.listWidgetUpload, kRowHeight);
}

void QMainWidget::onBtnTabRecord()
{
    selectTab(2);
    // Until the history is read the count stays as it is.
    if (QRecords::instance()->isLoaded())
        ui.labelRecordNum->setText(QString::number(QRecords::instance()->count()));
    resizeRows(ui.listWidgetRecord, kRowHeight);
}

void QMainWidget::onBtnCreateCourse()
{
    QUiHelper::guard(L"course creation", [&]() {
        QString name;
        if (!askCourseName(name))
            return;
        QUiHelper::createCourse(name, this, "onCreateCourseReponse(bool, const QValue&, const QString&)");
        const int serial = ++m_createSerial;
        // A slow server may make the course after its answer was given up: the list again.
        QTimer::singleShot(QUiHelper::courseCreateWaitMs(), this, [this, serial]() {
            QUiHelper::guardSilently(L"course creation wait", [&]() {
                if (serial != m_unsureSerial)
                    return;
                m_unsureSerial = 0;
                onBtnRefresh();
            });
        });
    });
}

void QMainWidget::onBtnRefresh()
{
    requestCourseList();
    m_courseLoaded = false;
    m_courses.clear();
    ui.listWidgetCourse->clear();
}

void QMainWidget::onBtnSearchCourse()
{
    if (QUiHelper::throttle(m_lastCourseSearch, 500))
        onBtnRefresh();
}

void QMainWidget::requestCourseList()
{
    // Each search answers through its own relay: only the latest one fills the list.
    auto *relay = new QReplyRelay(++m_courseSearchSerial, this);
    if (!connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this, SLOT(onCourseSearchReplied(int,bool,QValue,QString))))
        LOG_ERROR(L"main window: the course reply could not be connected");
    QUser::instance()->teacherVideoList(ui.lineEdit->text(), relay, QReplyRelay::slotSignature());
}

void QMainWidget::onCourseSearchReplied(int serial, bool ok, const QValue &data, const QString &message)
{
    if (serial == m_courseSearchSerial)
        onCourseReponse(ok, data, message);
}

void QMainWidget::onBtnAllPause()
{
}

void QMainWidget::onBtnAllCancel()
{
}

void QMainWidget::onBtnClearRecord()
{
    QTimer::singleShot(20, this, [this]() { clearRecords(); });
}

void QMainWidget::clearRecords()
{
    QUiHelper::guard(L"clearing the records", [&]() {
        // The window never waits for the history: until it is read there is nothing to clear.
        if (!QRecords::instance()->isLoaded()) {
            QMsgBox::showMessage(tr("历史记录正在读取，请稍后再试"), 1);
            return;
        }
        if (QMsgBox::showMessage(tr("确定清除所有记录？"), 3) != 1)
            return;
        QRecords::instance()->clear();
        clearListWidget(ui.listWidgetRecord);
        m_recordItems.clear();
        m_pendingRecords.clear();
        m_pendingNext = 0;
        ui.stackedWidgetRecord->setCurrentIndex(0);
        ui.labelRecordNum->setText(QStringLiteral("0"));
        QTimer::singleShot(100, this, [this]() { ui.stackedWidgetRecord->repaint(); });
    });
}

void QMainWidget::onBtnUploadVideo()
{
    QUiHelper::guard(L"adding videos", [&]() {
        QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/');
        if (!QDir(desktop).exists())
            desktop = QDir::homePath() + QLatin1Char('/');
        QString folder = CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("video_path"), desktop);
        // A remembered folder that is gone gives way to the default one.
        if (!QDir(folder).exists())
            folder = desktop;
        const QStringList files = QFileDialog::getOpenFileNames(
            this, tr("选择视频"), folder, tr("音频及视频文件(*.mp3 *.mp4 *.avi *.flv *.wmv);;所有文件(*.*)"));
        if (files.isEmpty())
            return;
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("video_path"), QFileInfo(files.first()).absolutePath());
        addFiles(files);
    });
}

bool QMainWidget::addFiles(const QStringList &paths)
{
    QConfigureDialog dialog(nullptr);
    dialog.loadCourseList(m_courses, ui.listWidgetCourse->currentRow());
    // Over the middle of the window it belongs to.
    dialog.move(geometry().center() - dialog.rect().center());
    if (dialog.execInFront() != QDialog::Accepted)
        return false;
    const QDtaConfig config = dialog.config();
    // The batch is saved as pending work in one go; a file that cannot be queued is reported
    // and the rest of the batch still goes.
    QUiHelper::guard(L"queueing videos", [&]() { QWorkPool::instance()->addWorks(paths, config); });
    return true;
}

void QMainWidget::onDropFileList(const QList<QUrl> &urls)
{
    QUiHelper::guard(L"dropping files", [&]() {
        QStringList paths;
        for (const QUrl &url : urls)
        {
            // Only local files can be processed; anything else dropped is skipped.
            if (!url.isLocalFile() || url.toLocalFile().isEmpty())
            {
                LOG_WARNING(L"dropped item skipped: %s", url.toString());
                continue;
            }
            paths << url.toLocalFile();
        }
        if (!paths.isEmpty())
            addFiles(paths);
    });
}

void QMainWidget::onBtnHome()
{
    QWebLinks::open(QPlatformHosts::webHost(), QStringLiteral("/"));
}

void QMainWidget::onBtnHelp()
{
    QWebLinks::open(QPlatformHosts::docsHost(), QStringLiteral("/docs/mindoc/how-to-encrypt"));
}

void QMainWidget::onBtnTutorial()
{
    QWebLinks::open(QPlatformHosts::siteHost(), QStringLiteral("/control/action.php?action=encryption_tutor"));
}

void QMainWidget::onBtnAbout()
{
    QUiHelper::guard(L"the about box", [&]() {
        showAbout();
    });
}

void QMainWidget::onBtnUpdate()
{
    QUpdateDialog::setShown();
    QUser::instance()->versionCheck(this, "onUpdateReponse(bool, const QValue&, const QString&)");
}

void QMainWidget::onEditingFinished()
{
    if (ui.lineEdit->hasFocus())
        onBtnSearchCourse();
}

void QMainWidget::onCourseItemChanged(int row)
{
    if (row >= 0 && m_courseLoaded)
        requestVideoList();
}

void QMainWidget::onTokenInvalid()
{
    // Several replies may report the lost sign-in at once, and the start's own sign-in
    // dialog may be open: one dialog answers them all.
    if (m_signingIn)
        return;
    if (!login())
        onBtnClose();
}

void QMainWidget::onAddUploadItem(QFileWork *work)
{
    try
    {
        U_ASSERT_MSG(work != nullptr, QStringLiteral("not_null(pWork)"));
    }
    catch (const UException &e)
    {
        LOG_EXCEPTION(e);
        return;
    }
    auto *item = new QListWidgetItem();
    item->setSizeHint(QSize(QUIScale::scale(kRowWidth), QUIScale::scale(kRowHeight)));
    auto *row = new QItemUploadWidget(work, nullptr);
    if (!connect(row, SIGNAL(itemRemove(qlonglong)), this, SLOT(onRemoveUploadItem(qlonglong))))
        LOG_ERROR(L"upload row: removal could not be connected");
    ui.listWidgetUpload->insertItem(0, item);
    ui.listWidgetUpload->setItemWidget(item, row);
    m_uploadItems.insert(work->id(), item);
    // A shown window has its lists' widths: the new row takes it at once.
    if (isVisible())
        resizeRows(ui.listWidgetUpload, kRowHeight);

    QTimer::singleShot(10, this, [this]() {
        if (ui.stackedWidgetMain->currentIndex() != 1)
        {
            ui.btnTabCourse->setChecked(false);
            ui.btnTabCourse->repaint();
            ui.btnTabUpload->setChecked(true);
            ui.btnTabUpload->repaint();
            ui.btnTabRecord->setChecked(false);
            ui.stackedWidgetMain->setCurrentIndex(1);
        }
        if (ui.stackedWidgetUpload->currentIndex() != 1)
            ui.stackedWidgetUpload->setCurrentIndex(1);
    });
}

void QMainWidget::onRemoveUploadItem(qlonglong id)
{
    LOG_DEBUG(L"item id:%lld", static_cast<long long>(id));
    QUiHelper::guard(L"removing a job", [&]() {
        if (QMsgBox::showMessage(tr("确定删除该任务?"), 3) != 1)
            return;
        QTimer::singleShot(20, this, [this, id]() { removeUploadItem(id); });
    });
}

void QMainWidget::removeUploadItem(qlonglong id)
{
    QUiHelper::guard(L"removing a job", [&]() {
        QListWidgetItem *item = m_uploadItems.value(id, nullptr);
        if (!item)
            return;
        m_uploadItems.remove(id);
        removeListRow(ui.listWidgetUpload, item);
        QWorkPool::instance()->removeWork(id);
        if (ui.listWidgetUpload->count() == 0)
        {
            ui.progressUploadTotal->setValue(0);
            ui.stackedWidgetUpload->setCurrentIndex(0);
        }
    });
}

void QMainWidget::onCompleteUploadItem(qlonglong)
{
}

void QMainWidget::onAddRecordItem(const record_ptr &record)
{
    if (!record)
        return;
    const record_ptr copy = record;
    QTimer::singleShot(20, this, [this, copy]() { QUiHelper::guardSilently(L"listing a new record", [&]() {
        const auto told = qScopeGuard([this, copy]() { emit recordHandled(copy->id()); });
        if (m_recordItems.contains(copy->id()) || pendingIndexOf(*copy) >= 0)
            return;
        // In the order of the times shown, as the page lists the history at start: a job
        // retried long after it was queued is on top.
        if (m_pendingNext < m_pendingRecords.size() && QRecords::showsAbove(*m_pendingRecords.at(m_pendingNext), *copy))
        {
            // Among the records of the history still to be listed.
            const auto at = std::lower_bound(m_pendingRecords.begin() + m_pendingNext, m_pendingRecords.end(), copy,
                                             [](const record_ptr &a, const record_ptr &b) { return QRecords::showsAbove(*a, *b); });
            m_pendingRecords.insert(at, copy);
        }
        else
        {
            QListWidgetItem *item = newRecordItem(copy);
            ui.listWidgetRecord->insertItem(recordRowFor(*copy), item);
            m_recordItems.insert(copy->id(), item);
        }
        ui.labelRecordNum->setText(QString::number(recordCount()));
        ui.stackedWidgetRecord->setCurrentIndex(1);
    }); });
}

void QMainWidget::onRemoveRecordItem(qlonglong id)
{
    QUiHelper::guardSilently(L"removing a record row", [&]() { removeRecordRow(id); });
}

void QMainWidget::removeRecordRow(qlonglong id)
{
    if (QListWidgetItem *item = m_recordItems.value(id, nullptr))
    {
        m_recordItems.remove(id);
        removeListRow(ui.listWidgetRecord, item);
    }
    else
    {
        for (int i = m_pendingNext; i < m_pendingRecords.size(); ++i)
        {
            if (m_pendingRecords.at(i)->id() == id)
            {
                m_pendingRecords.remove(i);
                break;
            }
        }
    }
    if (recordCount() == 0)
        ui.stackedWidgetRecord->setCurrentIndex(0);
    ui.labelRecordNum->setText(QString::number(recordCount()));
}

void QMainWidget::onUploadProgress(int percent)
{
    ui.progressUploadTotal->setValue(percent);
}

void QMainWidget::onVideoListRefresh()
{
    requestVideoList();
}

void QMainWidget::onUpdateReponse(bool ok, const QValue &data, const QString &message)
{
    QUiHelper::guard(L"the version reply", [&]() {
        if (!ok)
        {
            // A lost sign-in is said by the sign-in dialog alone.
            if (QUpdateDialog::isShown() && !QUser::instance()->signInLost())
                showUpdate(false, QString(), QString(), QStringList(), message);
            return;
        }
        const int force = QUiHelper::memberText(data, "isForceUpdate").toInt(nullptr, 10);
        const QString downloadUrl = QUiHelper::memberText(data, "downloadUrl");
        QValue log;
        const QValue &logMember = jsonMember(data, QStringLiteral("log"));
        if (logMember.isString())
            parseJson(asQString(logMember), log, true);
        else if (logMember.isArray())
            log = logMember;

        if (force == 1)
        {
            runUpgrade(downloadUrl);
            return;
        }
        QString version = QUiHelper::memberText(data, "version");
        if (!version.isEmpty())
            version.insert(1, QLatin1Char('.'));
        const bool ignored = !version.isEmpty()
            && CommonFun::getSettingBool(QStringLiteral("update"), version, false);
        if (!QUpdateDialog::isShown() && ignored)
            return;

        QStringList lines;
        const int count = log.isArray() ? jsonSize(log) : 0;
        for (int i = 0; i < count; ++i)
            lines << QStringLiteral("%1、%2").arg(i + 1).arg(asQString(jsonAt(log, i)));
        showUpdate(true, version, downloadUrl, lines);
    });
}

void QMainWidget::onCourseReponse(bool ok, const QValue &data, const QString &message)
{
    QUiHelper::guard(L"the course list reply", [&]() {
        if (!ok)
        {
            QUiHelper::showReplyError(message);
            return;
        }
        ui.listWidgetVideo->clear();
        m_courses.clear();
        ui.listWidgetCourse->clear();
        for (const QDtaCourse &course : QUiHelper::coursesFromReply(data))
        {
            auto *item = new QListWidgetItem(QIcon(QStringLiteral(":/images/item.folder.svg")), course.name());
            item->setSizeHint(QSize(QUIScale::scale(270), QUIScale::scale(40)));
            item->setData(Qt::StatusTipRole, course.id());
            item->setData(Qt::ToolTipRole, QUiHelper::plainToolTip(course.name()));
            ui.listWidgetCourse->addItem(item);
            m_courses.append(course);
        }
        m_courseLoaded = true;
        int chosen = 0;
        for (int row = 0; !m_chosenCourseId.isEmpty() && row < m_courses.size(); ++row)
        {
            if (m_courses.at(row).id() == m_chosenCourseId)
            {
                chosen = row;
                break;
            }
        }
        m_chosenCourseId.clear();
        ui.listWidgetCourse->setCurrentRow(chosen);
    });
}

void QMainWidget::onFluxReponse(bool ok, const QValue &data, const QString &message)
{
    QUiHelper::guard(L"the space reply", [&]() {
        if (!ok)
        {
            QUiHelper::showReplyError(message);
            return;
        }
        const double space = QUiHelper::memberText(data, "space").toInt();
        const double used = QUiHelper::memberText(data, "storage_siz").toDouble();
        // A space of 0 shows an empty bar instead of dividing by zero.
        const int percent = space > 0 ? static_cast<int>(used / space * 100.0) : 0;
        ui.progressSpace->setValue(qBound(0, percent, 100));
        ui.progressSpace->setFormat(QStringLiteral("%1/%2").arg(formatFileSize(used), formatFileSize(space)));
    });
}

void QMainWidget::requestVideoList()
{
    QListWidgetItem *item = ui.listWidgetCourse->currentItem();
    if (!item)
        return;
    const int courseId = item->data(Qt::StatusTipRole).toString().toInt(nullptr, 10);
    // The reply comes back with its request number: a late answer for another course (or an
    // earlier request for this one) never fills the list.
    m_videoListCourse = courseId;
    auto *relay = new QReplyRelay(++m_videoListSerial, this);
    if (!connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this, SLOT(onVideoListReplied(int,bool,QValue,QString))))
        LOG_ERROR(L"main window: the video list reply could not be connected");
    QUser::instance()->getVideoFile(courseId, relay, QReplyRelay::slotSignature());
    ui.listWidgetVideo->clear();
}

void QMainWidget::onVideoListReplied(int serial, bool ok, const QValue &data, const QString &message)
{
    if (serial != m_videoListSerial)
        return;
    QListWidgetItem *item = ui.listWidgetCourse->currentItem();
    if (!item || item->data(Qt::StatusTipRole).toString().toInt(nullptr, 10) != m_videoListCourse)
        return;
    onVideoReponse(ok, data, message);
}

void QMainWidget::onVideoReponse(bool ok, const QValue &data, const QString &message)
{
    QUiHelper::guard(L"the video list reply", [&]() {
        if (!ok)
            return;
        const int count = data.isArray() ? jsonSize(data) : 0;
        ui.stackedWidgetVideo->setCurrentIndex(count > 0 ? 1 : 0);
        ui.listWidgetVideo->clear();
        for (int i = 0; i < count; ++i)
        {
            auto *item = new QListWidgetItem();
            item->setSizeHint(QSize(QUIScale::scale(720), QUIScale::scale(40)));
            auto *row = new QItemVideoWidget(nullptr);
            row->setData(jsonAt(data, i));
            ui.listWidgetVideo->addItem(item);
            ui.listWidgetVideo->setItemWidget(item, row);
        }
        if (isVisible())
            resizeRows(ui.listWidgetVideo, kVideoRowHeight);
        ui.labelUploadVideoNum->setText(tr("该课程已上传%1项").arg(count));
    });
}

void QMainWidget::onCreateCourseReponse(bool ok, const QValue &data, const QString &message)
{
    QUiHelper::guard(L"the course creation reply", [&]() {
        const qint64 id = ok ? QUiHelper::createdCourseId(data) : 0;
        if (id > 0)
        {
            // The new course becomes the chosen one once the list has it.
            m_chosenCourseId = QString::number(id);
            onBtnRefresh();
        }
        else if (ok || QUiHelper::mayHaveBeenDone(message))
        {
            // Made or not, the list says: never a second course by trying again blindly.
            if (!ok)
                LOG_WARNING(L"course creation ended without a whole answer: %s", message);
            m_unsureSerial = m_createSerial;
            onBtnRefresh();
            QMsgBox::showMessage(ok ? QUiHelper::courseIdMissingText() : QUiHelper::courseMayExistText(), 1);
        }
        else
            QUiHelper::showReplyError(message);
    });
}

void QMainWidget::onBtnDelFile()
{
    QUiHelper::guard(L"removing a job", [&]() {
        QListWidgetItem *item = ui.listWidgetUpload->currentItem();
        if (!item)
        {
            QMsgBox::showMessage(tr("请先选择要删除的视频项！"), 1);
            return;
        }
        if (auto *row = qobject_cast<QItemUploadWidget *>(ui.listWidgetUpload->itemWidget(item)))
            onRemoveUploadItem(row->id());
    });
}

void QMainWidget::showVideoMenu()
{
    QMenu menu(this);
    QAction *rename = menu.addAction(tr("重命名"));
    QAction *remove = menu.addAction(tr("删除"));
    QAction *refresh = menu.addAction(tr("刷新"));
    QAction *chosen = menu.exec(QCursor::pos());
    if (chosen == rename)
        QMsgBox::showMessage(tr("请先选择需要重命名的视频！"), 1);
    else if (chosen == remove)
        QMsgBox::showMessage(tr("请先选择需要删除的视频！"), 1);
    else if (chosen == refresh)
        requestVideoList();
}

void QMainWidget::clearListWidget(QListWidget *list)
{
    // In one go: item by item, a long history would take the list's bookkeeping per row.
    list->clear();
}

void QMainWidget::removeListRow(QListWidget *list, QListWidgetItem *item)
{
    QWidget *row = list->itemWidget(item);
    list->removeItemWidget(item);
    delete list->takeItem(list->row(item));
    // The row may be the sender of this removal.
    if (row)
        row->deleteLater();
}

void QMainWidget::resizeRows(QListWidget *list, int rowHeight)
{
    // The item's hint too: the list lays its items out at least as wide as the widest hint.
    const int width = list->viewport()->width();
    const int height = QUIScale::scale(rowHeight);
    if (list == ui.listWidgetRecord)
    {
        // Only the rows in view have widgets; new items take the size from now on.
        m_recordRowSize = QSize(width, height);
        if (list->count() > 0 && list->item(0)->sizeHint() != m_recordRowSize)
        {
            for (int row = 0; row < list->count(); ++row)
                list->item(row)->setSizeHint(m_recordRowSize);
        }
        m_recordRows->setRowSize(m_recordRowSize);
        return;
    }
    for (int row = 0; row < list->count(); ++row)
    {
        QListWidgetItem *item = list->item(row);
        if (item->sizeHint().width() != width)
            item->setSizeHint(QSize(width, height));
        if (QWidget *widget = list->itemWidget(item))
            widget->resize(width, height);
    }
}

void QMainWidget::showUpdate(bool newer, const QString &version, const QString &downloadUrl, const QStringList &lines,
                             const QString &message)
{
    LOG_INFO(L"version check: newer %d, version %s", newer ? 1 : 0, version);
    QUpdateDialog dialog(newer, nullptr);
    if (newer)
        dialog.setInfo(version, downloadUrl, lines);
    else
        // A failed check says why instead of claiming there is nothing new.
        dialog.setMessage(message);
    dialog.execInFront();
}

void QMainWidget::runUpgrade(const QString &downloadUrl)
{
    LOG_INFO(L"forced update: %s", downloadUrl);
    QUpdateDialog::runUpgrade(downloadUrl);
}

void QMainWidget::showAbout()
{
    QAboutDialog dialog(nullptr);
    dialog.execInFront();
}

bool QMainWidget::askCourseName(QString &name)
{
    QCreateCourseDialog dialog(nullptr);
    if (dialog.execInFront() != 1)
        return false;
    name = dialog.courseName();
    return !name.isEmpty();
}
