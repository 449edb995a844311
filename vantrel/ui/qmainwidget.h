#pragma once

#include <atomic>
#include <memory>

#include <QList>
#include <QMap>
#include <QPoint>
#include <QUrl>
#include <QVector>
#include <QWidget>

#include "qdtacourse.h"
#include "qdtarecord.h"
#include "qvalue.h"
#include "quihelper.h"
#include "ui_qmainwidget.h"

class QFileWork;
class QLazyRowWidgets;
class QListWidget;
class QListWidgetItem;
class QMenu;

// The main window: upload page (jobs), record page (history) and the course page whose tab
// is hidden; adds videos by file dialog or drop, reacts to the version check and to a lost
// sign-in.
class QMainWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QMainWidget(QWidget *parent = nullptr);
    ~QMainWidget() override;

    // Runs the sign-in dialog; true when the user signed in.
    bool login();
    // Starts the work pool, raises the window and asks for a newer version.
    void start();
    // Hands the files of one batch to the work pool after the settings dialog; false when
    // the dialog was not accepted.
    bool addFiles(const QStringList &paths);

    Ui::QMainWidgetClass &form();

signals:
    void dropList(const QList<QUrl> &urls);
    // A record given to onAddRecordItem() has been dealt with (listed, or found listed).
    void recordHandled(qlonglong id);
    // Every row of the history read at start is in the record list.
    void historyListed();

public slots:
    void onBtnMin();
    void onBtnMax();
    void onBtnClose();
    void onBtnLogo();
    void onBtnSetting();
    void onBtnTabCourse();
    void onBtnTabUpload();
    void onBtnTabRecord();
    void onBtnCreateCourse();
    void onBtnRefresh();
    void onBtnSearchCourse();
    void onBtnAllPause();
    void onBtnAllCancel();
    void onBtnClearRecord();
    void onBtnUploadVideo();
    void onBtnHome();
    void onBtnHelp();
    void onBtnTutorial();
    void onBtnAbout();
    void onBtnUpdate();
    void onEditingFinished();
    void onCourseItemChanged(int row);
    void onTokenInvalid();
    void onAddUploadItem(QFileWork *work);
    void onRemoveUploadItem(qlonglong id);
    void onCompleteUploadItem(qlonglong id);
    void onAddRecordItem(const record_ptr &record);
    void onRemoveRecordItem(qlonglong id);
    void onUploadProgress(int percent);
    void onWorkSaveFailed(const QString &message);
    void onVideoListRefresh();
    void onUpdateReponse(bool ok, const QValue &data, const QString &message);
    void onCourseReponse(bool ok, const QValue &data, const QString &message);
    void onFluxReponse(bool ok, const QValue &data, const QString &message);
    void onVideoReponse(bool ok, const QValue &data, const QString &message);
    void onCreateCourseReponse(bool ok, const QValue &data, const QString &message);
    void onDropFileList(const QList<QUrl> &urls);
    void onBtnDelFile();

private slots:
    void onCourseSearchReplied(int serial, bool ok, const QValue &data, const QString &message);
    void onRecordsLoaded();
    void onVideoListReplied(int serial, bool ok, const QValue &data, const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void removeRecordRow(qlonglong id);
    void initUi();
    void initMenu();
    void initConnect();
    void loadRecords();
    // Gives the next records of the history read their items; the rest follow when control
    // is back in the loop.
    void addPendingRecords();
    // A record page item for `record`, sized as the rows are now; its widget is made when
    // the row comes into view.
    QListWidgetItem *newRecordItem(const record_ptr &record) const;
    void fillRecordItem(QListWidgetItem *item, const record_ptr &record) const;
    record_ptr recordAt(int row) const;
    // The row `record` goes to: the page lists the latest time on top, the higher id first
    // within one time.
    int recordRowFor(const QDtaRecord &record) const;
    // Where `record` is among the records still to be listed, or -1.
    int pendingIndexOf(const QDtaRecord &record) const;
    // Records listed and still to be listed.
    int recordCount() const;
    QWidget *makeRecordRow(QListWidgetItem *item) const;
    bool titleEventFilter(QEvent *event);
    void showVideoMenu();
    void requestVideoList();
    void requestCourseList();
    void clearListWidget(QListWidget *list);
    // Takes one row out of a list; its widget goes once control is back in the loop.
    void removeListRow(QListWidget *list, QListWidgetItem *item);
    // Fits the row widgets of a list to its width.
    void resizeRows(QListWidget *list, int rowHeight);
    // Shows page `index` of the main stack (course, upload, record) with its tab checked.
    void selectTab(int index);
    void removeUploadItem(qlonglong id);
    void clearRecords();
    // Places where the update, about and create-course dialogs are run.
    void showUpdate(bool newer, const QString &version, const QString &downloadUrl, const QStringList &lines,
                    const QString &message = QString());
    void runUpgrade(const QString &downloadUrl);
    void showAbout();
    bool askCourseName(QString &name);
    // Notices of damaged files kept aside, kept in the data folder until the window shows them.
    static QString noticeFile();
    static QStringList keptNotices();
    void keepNotices();
    void showNotices();

    Ui::QMainWidgetClass ui;
    QPoint m_dragOffset;
    bool m_dragging = false;
    std::unique_ptr<QMenu> m_settingMenu;
    QList<QDtaCourse> m_courses;
    QMap<qlonglong, QListWidgetItem *> m_uploadItems;
    QMap<qlonglong, QListWidgetItem *> m_recordItems;
    // The history read, newest first, from m_pendingNext on still without items.
    QVector<record_ptr> m_pendingRecords;
    int m_pendingNext = 0;
    bool m_recordsListed = false;
    bool m_started = false;
    // The record page's row widgets, only for the rows in view.
    QLazyRowWidgets *m_recordRows = nullptr;
    QSize m_recordRowSize;
    std::atomic<bool> m_courseLoaded {false};
    // A sign-in dialog is open (at the start or for a lost sign-in).
    bool m_signingIn = false;
    // Fitted to its screen at its first show.
    bool m_fitted = false;
    int m_courseSearchSerial = 0;
    QUiHelper::LastRun m_lastCourseSearch;
    // The latest video-list request and the course it asked for.
    int m_videoListSerial = 0;
    int m_videoListCourse = 0;
    // A course made from the course page, to be chosen when the next list has it.
    QString m_chosenCourseId;
    // Course creations sent from the course page, and the one whose answer left open whether
    // the course was made (0: none): the list is loaded again when the wait for it is over.
    int m_createSerial = 0;
    int m_unsureSerial = 0;
};
