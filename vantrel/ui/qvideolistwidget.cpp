#include "qvideolistwidget.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QTimer>

#include "logger.h"
#include "qitemvideowidget.h"
#include "qmsgbox.h"
#include "quihelper.h"

QVideoListWidget::QVideoListWidget(QWidget *parent)
    : QListWidget(parent)
{
    init();
}

void QVideoListWidget::init()
{
    m_menu = new QMenu(this);
    auto *rename = new QAction(QStringLiteral("重命名"), this);
    auto *remove = new QAction(QStringLiteral("删除"), this);
    auto *refresh = new QAction(QStringLiteral("刷新"), this);
    m_menu->addAction(rename);
    m_menu->addAction(remove);
    m_menu->addAction(refresh);
    bool ok = connect(rename, SIGNAL(triggered()), this, SLOT(onMenuRename()));
    ok = connect(refresh, SIGNAL(triggered()), this, SLOT(onMenuRefresh())) && ok;
    ok = connect(remove, SIGNAL(triggered()), this, SLOT(onMenuDel())) && ok;
    if (!ok)
        LOG_ERROR(L"video list: a menu command could not be connected");
}

QMenu *QVideoListWidget::menu() const
{
    return m_menu;
}

void QVideoListWidget::contextMenuEvent(QContextMenuEvent *event)
{
    QAbstractScrollArea::contextMenuEvent(event);
    m_menu->exec(QCursor::pos());
}

QItemVideoWidget *QVideoListWidget::currentRow() const
{
    QListWidgetItem *item = currentItem();
    return item ? qobject_cast<QItemVideoWidget *>(itemWidget(item)) : nullptr;
}

bool QVideoListWidget::removeRow(QItemVideoWidget *row)
{
    if (!row)
        return false;
    for (int i = 0; i < count(); ++i)
    {
        QListWidgetItem *entry = item(i);
        if (itemWidget(entry) != row)
            continue;
        delete takeItem(i);
        // Taking the item released its row widget already; this only makes sure it goes.
        row->deleteLater();
        return true;
    }
    return false;
}

void QVideoListWidget::onMenuRename()
{
    QUiHelper::guard(L"video list: rename", [this]() {
        QItemVideoWidget *row = currentRow();
        if (!row)
        {
            QMsgBox::showMessage(QStringLiteral("请先选择需要重命名的视频！"), 1);
            return;
        }
        row->rename();
    });
}

void QVideoListWidget::onMenuDel()
{
    QUiHelper::guard(L"video list: delete", [this]() {
        QPointer<QItemVideoWidget> row(currentRow());
        if (!row)
        {
            QMsgBox::showMessage(QStringLiteral("请先选择需要删除的视频！"), 1);
            return;
        }
        const int answer = QMsgBox::showMessage(QStringLiteral("确认删除文件【%1】吗？").arg(row->name()), 3);
        // The list may have been refilled while the question was open.
        if (answer != 1 || !row)
            return;
        QPointer<QVideoListWidget> list(this);
        row->remove([list, row]() {
            if (!list)
                return;
            // Runs after the reply slot has returned: the row is not destroyed inside it.
            QTimer::singleShot(10, list, [list, row]() {
                if (list && row)
                    list->removeRow(row);
            });
        });
    });
}

void QVideoListWidget::onMenuRefresh()
{
    emit listRefresh();
}
