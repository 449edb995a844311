#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include <QList>
#include <QPoint>
#include <QString>
#include <QtGlobal>
#include <QVariant>

#include "qdtacourse.h"
#include "qvalue.h"

class QCoreApplication;
class QEvent;
class QLabel;
class QObject;
class QWidget;

// Small pieces that the windows, dialogs and rows share.
namespace QUiHelper
{
    // Milliseconds of a steady clock, 64 bits wide (never wraps).
    qint64 steadyMs();
    // Replaces the clock of steadyMs(); an empty function restores the steady clock.
    void setClock(const std::function<qint64()> &clock);

    // When an action last ran; empty while it never ran.
    using LastRun = std::optional<qint64>;
    // True (and `last` set to now) when the action never ran or more than `interval` ms have
    // passed since it last did; false leaves `last` alone.
    bool throttle(LastRun &last, qint64 interval);

    // A tool tip that shows `text` as it is: Qt would draw text that looks like markup as
    // rich text, so such text is escaped.
    QString plainToolTip(const QString &text);
    // Shows `text` on one line of `label`, cut with "…" when it is wider than `width` pixels;
    // the whole text is then the tool tip.
    void setElidedText(QLabel *label, const QString &text, int width);

    // Shows a name on one line of `label`, cut with "…" (`mode` says where) to the width the
    // label may take (its maximum, less its padding); the whole name is always the tool tip.
    void setElidedName(QLabel *label, const QString &name, Qt::TextElideMode mode = Qt::ElideMiddle);
    // Shows a name on one line of `label`, cut with "…" in the middle to the label's width
    // whenever that changes, so that the label may take what its layout gives it; the tool
    // tip is `toolTip` (the name when empty).
    void keepElidedName(QLabel *label, const QString &name, const QString &toolTip = QString());

    // Installs Qt's own Chinese texts (file dialog, context menus, standard buttons) from the
    // system's Qt translations ("qtbase_zh_CN.qm"); the translator belongs to `app`. False when
    // the file is missing.
    bool installQtTranslation(QCoreApplication *app);

    // Sets a dynamic property and re-polishes the widget so that style rules on it apply;
    // nothing for a null widget.
    void refreshStyle(QWidget *widget, const char *name, const QVariant &value);

    // Text of a member: a string, or a number or bool written as text; empty otherwise.
    QString memberText(const QValue &data, const char *name);
    // The courses of a course-list reply: "id", "video_title" and "ctime" (unsigned decimal
    // text, 0 when it is none) of each object of the array.
    QList<QDtaCourse> coursesFromReply(const QValue &data);
    // Sends the course-creation call for a course titled `name`; the reply goes to `slot`.
    void createCourse(const QString &name, QObject *receiver, const char *slot);
    // The id of a course-creation reply's "data": a positive integer (a number, or decimal
    // digits as text); 0 when it holds none.
    qint64 createdCourseId(const QValue &data);
    // True when a failed reply's text leaves open whether the server did what it was asked:
    // the request may have reached it and its answer was lost (a time-out, no answer, one cut
    // off at any point, an empty or unreadable body, a gateway's or the server's own error).
    bool mayHaveBeenDone(const QString &message);
    // How long a window waits for a course creation: its request's own time-out, once more
    // for a wait behind other requests in the queue and for a slow server to finish.
    int courseCreateWaitMs();
    // What a creation that may or may not have been made says; the course list is reloaded.
    QString courseMayExistText();
    // What a creation reply without a usable course id says.
    QString courseIdMissingText();

    // Shows folder + fileName in the file manager; `missingText` in a notice box when the
    // folder does not exist, and a notice too when no file manager could show it.
    void showInFolder(const QString &folder, const QString &fileName, const QString &missingText);

    // Moves `window` while the left button drags on the watched surface. True when the event
    // was a press of the left button, any release, or a move of such a drag (consumed).
    bool dragWindow(QWidget *window, QEvent *event, QPoint &dragOffset, bool &dragging);

    // The window a new dialog belongs to: the open modal one, else the active window, else the
    // visible main window; never `self`.
    QWidget *ownerWindow(QWidget *self);
    // Centres `window` over `owner` (none: over the screen's free area).
    void placeOver(QWidget *window, QWidget *owner);
    // Fits `window` into the free area of its screen: with `shrink`, a window larger than that
    // area shrinks to it (its minimum too where that is larger); a window partly outside is
    // moved inside, its top left corner first.
    void fitToScreen(QWidget *window, bool shrink);

    // Shows the message of a failed reply in a notice box, unless the sign-in was lost: the
    // sign-in dialog then says so, once.
    void showReplyError(const QString &message);

    // Runs one slot's work at its boundary: a UException is logged and its message shown in a
    // notice box; any other exception is logged with `task`.
    void guard(const wchar_t *task, const std::function<void()> &work);
    // Same for work the user did not start (a reply, a search of its own): every exception is
    // only logged, none shows a box.
    void guardSilently(const wchar_t *task, const std::function<void()> &work);
}
