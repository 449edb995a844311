#include "qlazyrowwidgets.h"

#include <QEvent>
#include <QListWidget>
#include <QScrollBar>
#include <QTimer>

#include "logger.h"
#include "quihelper.h"

QLazyRowWidgets::QLazyRowWidgets(QListWidget *list, Factory make, int spare)
    : QObject(list)
    , m_list(list)
    , m_make(std::move(make))
    , m_spare(spare)
{
    // Every row has the same height: the view lays out a long list without asking each one.
    m_list->setUniformItemSizes(true);
    QAbstractItemModel *model = m_list->model();
    bool ok = connect(model, SIGNAL(rowsInserted(QModelIndex,int,int)), this, SLOT(scheduleRefresh()));
    ok = connect(model, SIGNAL(rowsRemoved(QModelIndex,int,int)), this, SLOT(scheduleRefresh())) && ok;
    ok = connect(model, SIGNAL(rowsMoved(QModelIndex,int,int,QModelIndex,int)), this, SLOT(scheduleRefresh())) && ok;
    ok = connect(model, SIGNAL(modelReset()), this, SLOT(scheduleRefresh())) && ok;
    ok = connect(model, SIGNAL(layoutChanged()), this, SLOT(scheduleRefresh())) && ok;
    ok = connect(m_list->verticalScrollBar(), SIGNAL(rangeChanged(int,int)), this, SLOT(scheduleRefresh())) && ok;
    // Scrolling shows the rows' widgets at once, before the next paint.
    ok = connect(m_list->verticalScrollBar(), &QScrollBar::valueChanged, this, [this]() { refresh(); }) && ok;
    if (!ok)
        LOG_ERROR(L"lazy rows: the list could not be connected");
    m_list->viewport()->installEventFilter(this);
}

QLazyRowWidgets::~QLazyRowWidgets() = default;

int QLazyRowWidgets::widgetCount() const
{
    int count = 0;
    for (const QPersistentModelIndex &index : m_shown)
    {
        if (index.isValid() && m_list->indexWidget(index))
            ++count;
    }
    return count;
}

void QLazyRowWidgets::setRowSize(const QSize &size)
{
    m_rowSize = size;
    for (const QPersistentModelIndex &index : m_shown)
    {
        if (QWidget *widget = index.isValid() ? m_list->indexWidget(index) : nullptr)
            widget->resize(size);
    }
}

bool QLazyRowWidgets::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport() && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        scheduleRefresh();
    return QObject::eventFilter(watched, event);
}

void QLazyRowWidgets::scheduleRefresh()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    // After the view has laid out the change.
    QTimer::singleShot(0, this, [this]() {
        m_scheduled = false;
        refresh();
    });
}

void QLazyRowWidgets::refresh()
{
    QUiHelper::guard(L"list rows", [&]() {
        const int count = m_list->count();
        int first = 0;
        int last = -1;
        if (count > 0)
        {
            const QModelIndex top = m_list->indexAt(QPoint(1, 1));
            const int topRow = top.isValid() ? top.row() : 0;
            const int rowHeight = qMax(1, m_list->sizeHintForRow(topRow));
            const int inView = m_list->viewport()->height() / rowHeight + 1;
            first = qMax(0, topRow - m_spare);
            last = qMin(count - 1, topRow + inView + m_spare);
        }

        // Rows out of the range give their widgets back (the view deletes them later, so that
        // a widget may be the sender of what moved it out).
        QVector<QPersistentModelIndex> kept;
        kept.reserve(last - first + 1);
        for (const QPersistentModelIndex &index : m_shown)
        {
            if (!index.isValid())
                continue;
            if (index.row() < first || index.row() > last)
            {
                if (QListWidgetItem *item = m_list->item(index.row()))
                    m_list->removeItemWidget(item);
                continue;
            }
            if (m_list->indexWidget(index))
                kept.append(index);
        }
        m_shown = kept;

        for (int row = first; row <= last; ++row)
        {
            QListWidgetItem *item = m_list->item(row);
            if (!item || m_list->itemWidget(item))
                continue;
            QWidget *widget = m_make(item);
            if (!widget)
                continue;
            widget->resize(m_rowSize.isValid() ? m_rowSize : item->sizeHint());
            m_list->setItemWidget(item, widget);
            m_shown.append(QPersistentModelIndex(m_list->model()->index(row, 0)));
        }
    });
}
