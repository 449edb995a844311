#pragma once

#include <QListWidget>

class QContextMenuEvent;
class QMenu;
class QItemVideoWidget;

// The course page's list of server videos, with a context menu: rename, delete, refresh.
// The commands act on the current item.
class QVideoListWidget : public QListWidget
{
    Q_OBJECT

public:
    explicit QVideoListWidget(QWidget *parent = nullptr);

    QMenu *menu() const;
    // Takes out the item that carries `row`; nothing when it is no longer in the list.
    bool removeRow(QItemVideoWidget *row);

signals:
    void listRefresh();

public slots:
    void onMenuRename();
    void onMenuDel();
    void onMenuRefresh();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void init();
    QItemVideoWidget *currentRow() const;

    QMenu *m_menu = nullptr;
};
