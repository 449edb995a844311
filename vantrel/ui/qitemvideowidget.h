#pragma once

#include <functional>

#include <QWidget>

#include "qvalue.h"

namespace Ui
{
    class QItemVideoWidgetClass;
}

// One video of a course on the server: name, duration, upload time, mode, size. Renames and
// deletes go to the web API; the row changes only when the reply says they succeeded.
class QItemVideoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QItemVideoWidget(QWidget *parent = nullptr);
    ~QItemVideoWidget() override;

    // Fills the row from one object of the video-list reply; members of any type are read.
    void setData(const QValue &item);
    QString name() const;
    QString videoKey() const;

    // Asks for a new name and sends the rename call when the dialog is accepted.
    void rename();
    // Sends the delete call; `callback` runs once the server has confirmed it.
    void remove(const std::function<void()> &callback);

    // "hh:mm:ss", hours with two digits or more.
    static QString formatDuration(int seconds);

signals:
    void ItemRemove();

public slots:
    void onRemoveReponse(bool ok, const QValue &data, const QString &msg);
    void onRenameReponse(bool ok, const QValue &data, const QString &msg);

private slots:
    void onRenameReplied(int serial, bool ok, const QValue &data, const QString &msg);

private:
    void init();
    void showName(const QString &name);

    Ui::QItemVideoWidgetClass *m_ui;
    QString m_videoKey;
    // The whole name (the label may show it cut).
    QString m_name;
    QString m_newName;
    // The rename under way: its request number, 0 when none. One at a time, so that the row
    // always ends with the name the server holds.
    int m_renameSerial = 0;
    int m_lastSerial = 0;
    std::function<void()> m_removeCallback;
};
