#pragma once

#include <QDialog>
#include <QPoint>
#include <QPointer>
#include <QVariant>

// Base of every dialog: frameless translucent tool window with a drop shadow, dragged by its
// surface, scaled style sheet, Escape and Return/Enter routed through onEscape and onEnter.
class QBaseDialog : public QDialog
{
    Q_OBJECT

public:
    explicit QBaseDialog(QWidget *parent = nullptr);

    virtual void initFrameless(const QString &styleSheetPath);
    virtual void loadStyleSheet(const QString &path);
    virtual void onEscape();
    virtual void onEnter();

    // Brings the dialog to the front, then runs it modally; 1 accepted, 0 rejected.
    int execInFront();
    // Sets a dynamic property and re-polishes the widget so that style rules on it apply.
    void refreshStyle(QWidget *widget, const char *name, const QVariant &value);

public slots:
    void onClose();
    void onOK();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    // The first show centres the dialog over the window it belongs to and fits it to the screen.
    void showEvent(QShowEvent *event) override;

private:
    QPoint m_dragOffset;
    bool m_dragging = false;
    QPointer<QWidget> m_owner;
    bool m_placed = false;
};
