#pragma once

#include <functional>

#include <QList>

#include "qbasedialog.h"
#include "quihelper.h"
#include "qdtaconfig.h"
#include "qdtacourse.h"
#include "qvalue.h"

class QListWidgetItem;

namespace Ui
{
    class QConfigureDialogClass;
}

// The two-page dialog shown for every batch of added videos: page 0 picks the course, page 1
// the encryption mode and quality. Accepted means config() holds the batch's settings.
class QConfigureDialog : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QConfigureDialog(QWidget *parent = nullptr);
    explicit QConfigureDialog(int unused);
    ~QConfigureDialog() override;

    // Fills the course list from `courseList` in steps of ten rows, selecting `selectedRow`.
    void loadCourseList(const QList<QDtaCourse> &courseList, int selectedRow);
    QDtaConfig &config();

    void onEnter() override;

    // The quality options of the re-encode mode for the three lists' current data.
    static QString transcodeOptions(const QString &video, const QString &audio, const QString &resolution);

signals:
    void signal_load(QList<QDtaCourse> courseList, int selectedRow);

public slots:
    void onBtnReturn();
    void onBtnNext();
    void onBtnCreateCourse();
    void onBtnOk();
    void onRadioWeb(bool checked);
    void onRadioFast(bool checked);
    void onRadioCodec(bool checked);
    void onComboBoxWeb(int index);
    void onComboBoxAudioBitrate(int index);
    void onBtnSearch();
    void onComboBoxVideoBitrate(int index);
    void onComboBoxResolution(int index);
    void onCurrentRowChanged(int currentRow);
    void onEditingFinished();
    void onLoadCourseList(QList<QDtaCourse> courseList, int selectedRow);
    void onCourseReponse(bool ok, const QValue &data, const QString &msg);
    void onTimer();
    void onCreateCourseReponse(bool bOk, const QValue &val, const QString &msg);
    void onBtnWaterMark();

    // A course creation is on its way: creating, going on and confirming wait for its answer.
    bool isCreatingCourse() const;

private slots:
    void onSearchReplied(int serial, bool ok, const QValue &data, const QString &msg);
    void onCreateReplied(int serial, bool ok, const QValue &data, const QString &msg);
    // The dialog's wait for creation `serial` is over.
    void onCreateWaitOver(int serial);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setup();
    void fillCombos();
    void selectMode(int mode);
    // Checks the mode's radio button and marks its frame, the others unchecked; stores the mode.
    void checkMode(int mode);
    void sendSearch();
    void clearCourseList();
    QListWidgetItem *makeCourseItem(const QDtaCourse &course);
    void updateCodecQuality();
    void setCreating(bool creating);
    // A creation whose outcome is not known: says `message` and reloads the course list.
    void reloadUnsure(const QString &message);
    void showLoadedCount();

    Ui::QConfigureDialogClass *m_ui;
    QDtaConfig m_config;
    std::function<void()> m_loader;
    QString m_createdCourseName;
    int m_searchSerial = 0;
    int m_createSerial = 0;
    // The creation whose answer left open whether the course was made: the list is asked for
    // again when the wait for it is over; 0 when none.
    int m_unsureSerial = 0;
    bool m_creating = false;
    // Rows of courses made here, put on top of the loaded ones.
    int m_createdRows = 0;
    QUiHelper::LastRun m_lastSearch;
};
