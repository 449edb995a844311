#include "uitestenv.h"

#include <cstdio>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include "cglobal.h"
#include "qappsetting.h"
#include "qconfiguredialog.h"
#include "qvalue.h"
#include "platformserver.h"
#include "qhttpclient.h"
#include "qmsgbox.h"
#include "quiscale.h"
#include "qrecords.h"
#include "qupdatedialog.h"
#include "quser.h"
#include "qworkpool.h"
#include "vantrelresources.h"
#include "testsupport.h"

UiTestEnv::UiTestEnv(bool withServer, int threads)
{
    m_temp = testsupport::newTempDir();
    QUIScale::setFactor(1.0f);
    initVantrelResources();
    registerQValueMetaType();
    qputenv("VANTREL_DATA_DIR", (m_temp + QStringLiteral("data/")).toUtf8());
    qputenv("VANTREL_SORBIN", QByteArray(VANTREL_BIN_DIR) + "sorbin");
    CGlobal::init();
    // Every test starts with the pending work and history of its own data folder.
    QWorkPool::instance()->reopen(CGlobal::dataPath() + QStringLiteral("work.json"));
    // The store's first read (made when it is first used) ends before the next: a read still
    // on its way could otherwise open a file this test makes in its place, a FIFO say, and
    // take part of what is fed to it.
    QRecords::instance()->waitRead(30000);
    QRecords::instance()->reopen();
    // A check for updates asked for by an earlier test's window is not this test's.
    QUpdateDialog::setShown(false);
    const QString startIni = m_temp + QStringLiteral("start.ini");
    testsupport::writeAll(startIni, QStringLiteral("[config]\ndebug=1\nthreads=%1\n").arg(threads).toUtf8());
    QAppSetting::instance()->reopen(startIni);
    if (withServer)
    {
        m_server = PlatformServer::startDemo();
        if (m_server)
            qputenv("VANTREL_API_HOST", QString::fromStdString(m_server->host()).toUtf8());
    }
    else
    {
        // Nothing listens on this port: every request fails at once.
        qputenv("VANTREL_API_HOST", QStringLiteral("127.0.0.1:%1").arg(testsupport::freePort()).toUtf8());
    }
    QHttpClient::instance()->start(3);
}

UiTestEnv::~UiTestEnv()
{
    QWorkPool::instance()->stop();
    QHttpClient::instance()->stop();
    // The replies of the last requests reach their receivers now, not in the next test: a
    // lost sign-in they report would otherwise hold back the next test's boxes.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // No test inherits the sign-in of the one before it.
    QUser::instance()->signOut();
    if (m_server)
        m_server->stop();
    CGlobal::uninit();
}

void UiTestEnv::deliverPendingReplies()
{
    // stop() returns once the workers have performed every queued request; their replies are
    // then posted events of this thread.
    QHttpClient::instance()->stop();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QHttpClient::instance()->start(3);
}

PlatformServer *UiTestEnv::server() const
{
    return m_server.get();
}

QString UiTestEnv::host() const
{
    return m_server ? QString::fromStdString(m_server->host()) : QString();
}

QString UiTestEnv::dataPath() const
{
    return CGlobal::dataPath();
}

QString UiTestEnv::tempDir() const
{
    return m_temp;
}

void UiTestEnv::signInDemo()
{
    if (!m_server)
        return;
    const PlatformServer::Session session = m_server->createSession("demo");
    QUser::instance()->setTeacherId(session.uid);
    QUser::instance()->setToken(QString::fromStdString(session.token), QString::fromStdString(session.secret));
}

// A modal widget counts as handled only once it has really gone away (hidden or destroyed):
// an act that did not close it (a file dialog whose folder has not loaded yet, a dialog whose
// reply has not arrived) is made again on the next tick instead of being forgotten.
// A modal widget counts as handled only once it has really gone away (hidden or destroyed):
// an act that did not close it (a dialog whose content has not arrived yet) is made again on
// the next tick instead of being forgotten.
struct ModalAnswer::Private : public QObject
{
    std::function<bool(QWidget *)> act;
    QTimer timer;
    QList<QPointer<QWidget>> watched;
    QWidget *acting = nullptr;
    bool goneWhileActing = false;
    int handled = 0;

    void watch(QWidget *widget)
    {
        watched << QPointer<QWidget>(widget);
        widget->installEventFilter(this);
        connect(widget, &QObject::destroyed, this, &Private::gone);
    }

    void unwatch(QObject *widget)
    {
        widget->removeEventFilter(this);
        disconnect(widget, &QObject::destroyed, this, nullptr);
        for (int i = watched.size() - 1; i >= 0; --i)
            if (watched.at(i) == widget || watched.at(i).isNull())
                watched.removeAt(i);
    }

    void gone(QObject *widget)
    {
        unwatch(widget);
        if (widget == acting)
            goneWhileActing = true;
        else
            ++handled;
    }

    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Hide && object->isWidgetType())
            gone(object);
        return false;
    }

    void tick()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        const bool again = watched.contains(QPointer<QWidget>(modal));
        if (!again)
            watch(modal);
        // Watched before acting: an act that closes the window at once is seen too.
        QPointer<QWidget> current(modal);
        acting = modal;
        goneWhileActing = false;
        const bool acted = act(modal);
        acting = nullptr;
        if (goneWhileActing)
            handled += acted ? 1 : 0;
        else if (!acted && !again && current)
            unwatch(modal);
    }
};

ModalAnswer::ModalAnswer(std::function<bool(QWidget *)> act)
    : d(new Private)
{
    d->act = std::move(act);
    d->timer.setInterval(30);
    QObject::connect(&d->timer, &QTimer::timeout, d.get(), [p = d.get()]() { p->tick(); });
    d->timer.start();
}

ModalAnswer::~ModalAnswer() = default;

int ModalAnswer::handled() const
{
    return d->handled;
}

QString messageText(QWidget *widget)
{
    if (!widget)
        return QString();
    if (auto *box = qobject_cast<QMsgBox *>(widget))
        return box->text();
    auto *label = widget->findChild<QLabel *>(QStringLiteral("labelMsg"));
    return label ? label->text() : QString();
}

bool chooseFiles(QWidget *widget, const QStringList &paths)
{
    auto *dialog = qobject_cast<QFileDialog *>(widget);
    auto *nameBox = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
    if (!nameBox)
        return false;
    QStringList quoted;
    for (const QString &path : paths)
        quoted << QLatin1Char('"') + path + QLatin1Char('"');
    nameBox->setText(paths.size() == 1 ? paths.first() : quoted.join(QLatin1Char(' ')));
    static_cast<QDialog *>(dialog)->accept();
    return true;
}

bool clickButton(QWidget *dialog, const char *name)
{
    if (!dialog)
        return false;
    auto *button = dialog->findChild<QPushButton *>(QString::fromLatin1(name));
    if (!button)
        return false;
    button->click();
    return true;
}

bool answerSettings(QWidget *widget, const char *modeRadio)
{
    if (!qobject_cast<QConfigureDialog *>(widget))
        return false;
    auto *list = widget->findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
    if (!list || list->count() == 0)
        return false;
    list->setCurrentRow(0);
    clickButton(widget, "btnNext");
    auto *radio = widget->findChild<QRadioButton *>(QString::fromLatin1(modeRadio));
    if (!radio)
        return false;
    radio->click();
    return clickButton(widget, "btnOk");
}

QString shotFolder(int argc, char **argv, const QString &fallback)
{
    QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : fallback;
    if (!out.endsWith(QLatin1Char('/')))
        out += QLatin1Char('/');
    QDir().mkpath(out);
    return out;
}

bool saveShot(QWidget *widget, const QString &path)
{
    widget->show();
    widget->raise();
    QCoreApplication::processEvents();
    testsupport::waitUntil([]() { return false; }, 300);
    // UISHOTS_SCREEN=1: what the display shows there (a missing compositor's corners included),
    // not what the window draws.
    QPixmap picture;
    if (qEnvironmentVariableIntValue("UISHOTS_SCREEN") == 1 && widget->screen())
    {
        const QRect frame = widget->frameGeometry();
        picture = widget->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    }
    else
    {
        picture = widget->grab();
    }
    const bool ok = picture.save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

void applyShotScale()
{
    if (qEnvironmentVariableIsSet("UISHOTS_SCALE"))
        QUIScale::setFactor(qEnvironmentVariable("UISHOTS_SCALE").toFloat());
}
