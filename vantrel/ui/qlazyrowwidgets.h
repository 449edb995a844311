#pragma once

#include <functional>

#include <QObject>
#include <QPersistentModelIndex>
#include <QSize>
#include <QVector>

class QListWidget;
class QListWidgetItem;
class QWidget;

// Gives the rows of a list their row widgets only while they are in view (and a few rows
// around them), so that a long list costs what its window shows. The items stay in the list;
// a row's widget is made again by `make` when it comes back into view.
class QLazyRowWidgets : public QObject
{
    Q_OBJECT

public:
    using Factory = std::function<QWidget *(QListWidgetItem *)>;

    // `spare`: rows kept with their widgets above and below those in view.
    QLazyRowWidgets(QListWidget *list, Factory make, int spare = 6);
    ~QLazyRowWidgets() override;

    // Makes the widgets of the rows in view and releases the others, now.
    void refresh();
    // Number of rows that have a widget.
    int widgetCount() const;
    // Resizes the widgets there are to `size` and makes new ones at that size from now on.
    void setRowSize(const QSize &size);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void scheduleRefresh();

private:
    QListWidget *m_list;
    Factory m_make;
    int m_spare;
    QSize m_rowSize;
    bool m_scheduled = false;
    QVector<QPersistentModelIndex> m_shown;
};
