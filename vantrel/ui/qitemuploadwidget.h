#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>

class QFileWork;

namespace Ui
{
    class QItemUploadWidgetClass;
}

// One row of the upload list: a queued or running job with its stage, progress and error.
class QItemUploadWidget : public QWidget
{
    Q_OBJECT

public:
    QItemUploadWidget(QFileWork *work, QWidget *parent = nullptr);
    explicit QItemUploadWidget(QWidget *parent = nullptr);
    ~QItemUploadWidget() override;

    qint64 id() const;
    void init(double size);
    void setStageText(int stage);
    void refreshStyle(QWidget *widget, const char *name, const QVariant &value);

signals:
    void itemRemove(qlonglong id);

public slots:
    void onProgress(int stage, int percent);
    void onComplete();
    void onError(const QString &msg);
    void onNote(const QString &note);
    void onBtnReEncrypt();
    void onBtnOpenFolder();
    void onBtnCancelUpload();

private:
    void showError(const QString &msg);

    Ui::QItemUploadWidgetClass *m_ui;
    qint64 m_id = 0;
    QString m_fileName;
    QString m_filePath;
    // The size as the row shows it while no failure is written there.
    QString m_sizeText;
    int m_step = -1;
    bool m_failed = false;
};
