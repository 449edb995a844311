#include "qbasedialog.h"

#include <QKeyEvent>

#include "qcustomshadoweffect.h"
#include "quihelper.h"
#include "quiscale.h"
#include "shell.h"

QBaseDialog::QBaseDialog(QWidget *parent)
    : QDialog(parent, Qt::WindowFlags())
{
}

void QBaseDialog::initFrameless(const QString &styleSheetPath)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Tool);
    setProperty("dialog", true);
    installEventFilter(this);
    loadStyleSheet(styleSheetPath);

    QCustomShadowEffect::installOn(this);
}

void QBaseDialog::loadStyleSheet(const QString &path)
{
    setStyleSheet(QUIScale::loadStyleSheet(path));
}

void QBaseDialog::onEscape()
{
    reject();
}

void QBaseDialog::onEnter()
{
    accept();
}

int QBaseDialog::execInFront()
{
    // Taken before the show: then this dialog is the active modal one.
    m_owner = QUiHelper::ownerWindow(this);
    // Modal before the first show, so that the window is shown as a modal one.
    setWindowModality(Qt::ApplicationModal);
    show();
    platform::bringToFront(windowHandle());
    raise();
    activateWindow();
    return exec();
}

void QBaseDialog::refreshStyle(QWidget *widget, const char *name, const QVariant &value)
{
    QUiHelper::refreshStyle(widget, name, value);
}

void QBaseDialog::onClose()
{
    reject();
}

void QBaseDialog::onOK()
{
    accept();
}

bool QBaseDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this && QUiHelper::dragWindow(this, event, m_dragOffset, m_dragging))
        return true;
    return QDialog::eventFilter(watched, event);
}

void QBaseDialog::showEvent(QShowEvent *event)
{
    if (!m_placed)
    {
        m_placed = true;
        QUiHelper::placeOver(this, m_owner ? m_owner.data() : QUiHelper::ownerWindow(this));
        // Drawn at fixed places: moved into the screen, not shrunk (the UI scale is chosen so
        // that the dialogs fit the screen).
        QUiHelper::fitToScreen(this, false);
    }
    QDialog::showEvent(event);
}

void QBaseDialog::keyPressEvent(QKeyEvent *event)
{
    switch (event->key())
    {
    case Qt::Key_Escape:
        onEscape();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        onEnter();
        break;
    default:
        break;
    }
    // Not QDialog's handler: each key acts once, through the two operations above.
    QWidget::keyPressEvent(event);
}
