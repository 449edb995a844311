#include "quihelper.h"

#include <chrono>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QScreen>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QTextDocument>
#include <QTranslator>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStyle>
#include <QWidget>

#include "logger.h"
#include "uexception.h"
#include "hrequest.h"
#include "qrequestparam.h"
#include "qfolderopener.h"
#include "qmsgbox.h"
#include "quser.h"
#include "shell.h"

namespace
{
    // Elides a label's name again whenever the label's size or font changes.
    class QElidedName : public QObject
    {
    public:
        QElidedName(QLabel *label, const QString &name)
            : QObject(label)
            , m_label(label)
            , m_line(name)
        {
            // One line: the name's own line breaks would show as more lines.
            m_line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
            label->installEventFilter(this);
        }

        void elide()
        {
            // Before its layout gives it a width, the label has at least its minimum.
            const int padding = m_label->width() - m_label->contentsRect().width();
            const int room = qMax(m_label->minimumWidth(), m_label->width()) - padding;
            m_label->setText(m_label->fontMetrics().elidedText(m_line, Qt::ElideMiddle, qMax(0, room)));
        }

    protected:
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (watched == m_label
                && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange
                    || event->type() == QEvent::StyleChange))
                elide();
            return QObject::eventFilter(watched, event);
        }

    private:
        QLabel *m_label;
        QString m_line;
    };

    bool fileManagerOnBus()
    {
        const QString service = QStringLiteral("org.freedesktop.FileManager1");
        QDBusConnection bus = QDBusConnection::sessionBus();
        return bus.isConnected() && bus.interface()
            && (bus.interface()->isServiceRegistered(service).value()
                || bus.interface()->activatableServiceNames().value().contains(service));
    }

    std::function<qint64()> &clockOverride()
    {
        static std::function<qint64()> clock;
        return clock;
    }

    void runGuarded(const wchar_t *task, const std::function<void()> &work, bool showMessage)
    {
        try
        {
            work();
        }
        catch (const UException &e)
        {
            LOG_EXCEPTION(e);
            if (showMessage)
                QMsgBox::showMessage(e.qMessage(), 1);
        }
        catch (const std::exception &e)
        {
            LOG_ERROR(L"%s failed: %s", task, e.what());
        }
        catch (...)
        {
            LOG_ERROR(L"%s failed", task);
        }
    }
}

namespace QUiHelper
{
    qint64 steadyMs()
    {
        if (clockOverride())
            return clockOverride()();
        using namespace std::chrono;
        return static_cast<qint64>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }

    void setClock(const std::function<qint64()> &clock)
    {
        clockOverride() = clock;
    }

    bool throttle(LastRun &last, qint64 interval)
    {
        const qint64 now = steadyMs();
        if (last && now - *last <= interval)
            return false;
        last = now;
        return true;
    }

    QString plainToolTip(const QString &text)
    {
        if (!Qt::mightBeRichText(text))
            return text;
        return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
    }

    void setElidedText(QLabel *label, const QString &text, int width)
    {
        if (!label)
            return;
        const QString shown = label->fontMetrics().elidedText(text, Qt::ElideMiddle, width);
        label->setText(shown);
        label->setToolTip(shown == text ? QString() : plainToolTip(text));
    }

    void setElidedName(QLabel *label, const QString &name, Qt::TextElideMode mode)
    {
        if (!label)
            return;
        // The style sheet's font and padding apply from here on.
        label->ensurePolished();
        const int padding = label->width() - label->contentsRect().width();
        const int room = label->maximumWidth() < QWIDGETSIZE_MAX ? label->maximumWidth()
                                                                  : qMax(label->minimumWidth(), label->width());
        // One line: the name's own line breaks would show as more lines.
        QString line = name;
        line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
        label->setText(label->fontMetrics().elidedText(line, mode, qMax(0, room - padding)));
        label->setToolTip(plainToolTip(name));
    }

    void keepElidedName(QLabel *label, const QString &name, const QString &toolTip)
    {
        if (!label)
            return;
        for (QElidedName *old : label->findChildren<QElidedName *>(QString(), Qt::FindDirectChildrenOnly))
            delete old;
        // Its text never widens it: a long name takes no room from the columns beside it.
        QSizePolicy policy = label->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        label->setSizePolicy(policy);
        label->ensurePolished();
        (new QElidedName(label, name))->elide();
        label->setToolTip(plainToolTip(toolTip.isEmpty() ? name : toolTip));
    }

    bool installQtTranslation(QCoreApplication *app)
    {
        auto *translator = new QTranslator(app);
        if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        {
            delete translator;
            return false;
        }
        return QCoreApplication::installTranslator(translator);
    }

    void refreshStyle(QWidget *widget, const char *name, const QVariant &value)
    {
        if (!widget)
            return;
        widget->setProperty(name, value);
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }

    QString memberText(const QValue &data, const char *name)
    {
        return asQString(jsonMember(data, QString::fromLatin1(name)));
    }

    QList<QDtaCourse> coursesFromReply(const QValue &data)
    {
        QList<QDtaCourse> courses;
        const int count = data.isArray() ? jsonSize(data) : 0;
        for (int i = 0; i < count; ++i)
        {
            const QValue &element = jsonAt(data, i);
            if (!element.isObject())
                continue;
            QDtaCourse course;
            course.setId(memberText(element, "id"));
            course.setName(memberText(element, "video_title"));
            bool isNumber = false;
            const uint ctime = memberText(element, "ctime").toUInt(&isNumber, 10);
            course.setCtime(isNumber ? static_cast<int32_t>(ctime) : 0);
            courses.append(course);
        }
        return courses;
    }

    void createCourse(const QString &name, QObject *receiver, const char *slot)
    {
        QRequestParam params;
        params.add(QStringLiteral("CourseName"), name, true);
        params.add(QStringLiteral("moIntro"), name, true);
        params.add(QStringLiteral("Price"), QStringLiteral("0"), true);
        params.add(QStringLiteral("download"), QStringLiteral("1"), true);
        params.add(QStringLiteral("watch_online"), QStringLiteral("1"), true);
        params.add(QStringLiteral("publish"), QString::number(QDateTime::currentSecsSinceEpoch()), true);
        QUser::instance()->createVideo(params, receiver, slot);
    }

    qint64 createdCourseId(const QValue &data)
    {
        // Ids are what a course-list reply carries: up to 18 decimal digits.
        constexpr qint64 kLargest = 999999999999999999LL;
        if (data.isInt64() && (data.type() == Json::intValue || data.type() == Json::uintValue))
        {
            const qint64 id = data.asInt64();
            return id > 0 && id <= kLargest ? id : 0;
        }
        if (!data.isString())
            return 0;
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
        const QString text = asQString(data);
        return digits.match(text).hasMatch() ? text.toLongLong() : 0;
    }

    bool mayHaveBeenDone(const QString &message)
    {
        // libcurl: a reply that did not come whole (a weird or broken-off answer, a write
        // stopped, a time-out, an empty answer, a send or receive failing, a broken transfer
        // coding, HTTP/2 cut off); 3 is also the text of a body that is not the envelope
        // (empty, cut off where no length was given, garbage). HTTP: the server's own error
        // and a gateway's that had no (timely) answer from it.
        static const int codes[] = {3, 8, 16, 18, 23, 28, 42, 52, 55, 56, 61, 92, 500, 502, 503, 504};
        for (int code : codes)
        {
            if (message == HRequest::errorText(code))
                return true;
        }
        return false;
    }

    int courseCreateWaitMs()
    {
        return 2 * 1000 * QUser::createTimeout();
    }

    QString courseMayExistText()
    {
        return QCoreApplication::translate(
            "QUiHelper", "服务器没有给出完整的答复，课程可能没有创建，也可能已经创建。请先在课程列表中搜索这门课程，找不到再重新创建");
    }

    QString courseIdMissingText()
    {
        return QCoreApplication::translate(
            "QUiHelper", "服务器没有返回有效的课程编号，课程可能没有创建，也可能已经创建。请先在课程列表中搜索这门课程，找不到再重新创建");
    }

    void showInFolder(const QString &folder, const QString &fileName, const QString &missingText)
    {
        if (folder.isEmpty() || !QDir(folder).exists())
        {
            QMsgBox::showMessage(missingText, 1);
            return;
        }
        QString path = folder;
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        // A file manager on the session bus says whether it showed the file; without one the
        // desktop's opener is run on the folder and its outcome watched.
        if (fileManagerOnBus() && platform::showInFileManager(path + fileName))
            return;
        QFolderOpener::open(path);
    }

    bool dragWindow(QWidget *window, QEvent *event, QPoint &dragOffset, bool &dragging)
    {
        switch (event->type())
        {
        case QEvent::MouseButtonPress:
        {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->button() != Qt::LeftButton)
                return false;
            dragging = true;
            dragOffset = mouse->globalPos() - window->pos();
            return true;
        }
        case QEvent::MouseButtonRelease:
            dragging = false;
            return true;
        case QEvent::MouseMove:
        {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (!dragging || mouse->buttons() == Qt::NoButton)
                return false;
            window->move(mouse->globalPos() - dragOffset);
            return true;
        }
        default:
            return false;
        }
    }

    QWidget *ownerWindow(QWidget *self)
    {
        for (QWidget *candidate : {QApplication::activeModalWidget(), QApplication::activeWindow()})
        {
            if (candidate && candidate != self && candidate->isVisible())
                return candidate->window();
        }
        if (self && self->parentWidget())
            return self->parentWidget()->window();
        for (QWidget *top : QApplication::topLevelWidgets())
        {
            if (top != self && top->isVisible() && !top->isMinimized() && top->inherits("QMainWidget"))
                return top;
        }
        return nullptr;
    }

    namespace
    {
        QScreen *screenOf(QWidget *window)
        {
            QScreen *screen = window ? window->screen() : nullptr;
            return screen ? screen : QGuiApplication::primaryScreen();
        }
    }

    void placeOver(QWidget *window, QWidget *owner)
    {
        if (!window)
            return;
        QRect area;
        if (owner && owner->isVisible())
            area = owner->frameGeometry();
        else if (QScreen *screen = screenOf(owner ? owner : window))
            area = screen->availableGeometry();
        if (area.isValid())
            window->move(area.center() - window->rect().center());
    }

    void fitToScreen(QWidget *window, bool shrink)
    {
        QScreen *screen = screenOf(window);
        if (!window || !screen)
            return;
        const QRect free = screen->availableGeometry();
        if (shrink && (window->width() > free.width() || window->height() > free.height()))
        {
            const QSize least = window->minimumSizeHint().expandedTo(window->minimumSize());
            if (least.width() > free.width() || least.height() > free.height())
                window->setMinimumSize(least.boundedTo(free.size()));
            window->resize(window->size().boundedTo(free.size()));
        }
        // Inside the free area, as near its place as it can be; where it is larger, its title
        // (the top left) stays on the screen.
        QRect frame(window->pos(), window->size());
        if (!free.contains(frame))
        {
            frame.moveLeft(qMax(free.left(), qMin(frame.left(), free.right() - frame.width() + 1)));
            frame.moveTop(qMax(free.top(), qMin(frame.top(), free.bottom() - frame.height() + 1)));
            window->move(frame.topLeft());
        }
    }

    void showReplyError(const QString &message)
    {
        if (QUser::instance()->signInLost())
        {
            LOG_INFO(L"reply failed while the sign-in is lost: %s", message);
            return;
        }
        QMsgBox::showMessage(message, 1);
    }

    void guard(const wchar_t *task, const std::function<void()> &work)
    {
        runGuarded(task, work, true);
    }

    void guardSilently(const wchar_t *task, const std::function<void()> &work)
    {
        runGuarded(task, work, false);
    }
}
