#pragma once

#include <QString>
#include <QWidget>

#include "qdtarecord.h"

namespace Ui
{
    class QItemRecordWidgetClass;
}

// One row of the history list: a finished job's output name, size, mode and time.
class QItemRecordWidget : public QWidget
{
    Q_OBJECT

public:
    QItemRecordWidget(const record_ptr &record, QWidget *parent = nullptr);
    explicit QItemRecordWidget(QWidget *parent = nullptr);
    ~QItemRecordWidget() override;

    qint64 id() const;
    // The label text of an encryption mode.
    static QString modeText(uint32_t fileType);

public slots:
    void onBtnOpenFolder();
    void onBtnDelRecord();

private:
    void connectButtons();

    Ui::QItemRecordWidgetClass *m_ui;
    qint64 m_id = 0;
    QString m_fileName;
    QString m_filePath;
};
