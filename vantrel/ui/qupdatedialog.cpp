#include "qupdatedialog.h"

#include <atomic>
#include <mutex>

#include <QCoreApplication>
#include <QLabel>
#include <QListView>
#include <QStringListModel>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qchildprocess.h"
#include "qmsgbox.h"
#include "quihelper.h"
#include "quiscale.h"
#include "ui_qupdatedialog.h"

namespace
{
    std::atomic<bool> g_shown {false};

    std::mutex &launcherMutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    QUpdateDialog::Launcher &launcherSlot()
    {
        static QUpdateDialog::Launcher launcher;
        return launcher;
    }

    bool startDetached(const QString &program, const QStringList &arguments)
    {
        return QChildProcess::startDetached(program, arguments);
    }
}

QUpdateDialog::QUpdateDialog(bool hasNewVersion, QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QUpdateDialogClass)
    , m_hasNewVersion(hasNewVersion)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/update.css"));

    if (m_hasNewVersion)
    {
        refreshStyle(m_ui->frameBg, "nav", QStringLiteral("all"));
        m_ui->btnOk->hide();
        m_ui->labelMsg->setText(QStringLiteral("发现新版本"));
    }
    else
    {
        refreshStyle(m_ui->frameBg, "nav", QStringLiteral("top"));
        refreshStyle(m_ui->frameMain, "nav", QStringLiteral("top"));
        m_ui->labelVer->hide();
        m_ui->frameBottom->hide();
        // As small as the layout allows: the header frame and the shadow margins.
        layout()->activate();
        resize(QSize(QUIScale::scale(460), QUIScale::scale(320)).expandedTo(minimumSizeHint()));
    }

    // Long lines of the change log wrap inside the list instead of scrolling sideways.
    m_ui->listViewLog->setWordWrap(true);
    m_ui->listViewLog->setTextElideMode(Qt::ElideNone);
    m_ui->listViewLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_ui->listViewLog->setResizeMode(QListView::Adjust);
    m_ui->listViewLog->setUniformItemSizes(false);

    bool ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onOK()));
    ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose())) && ok;
    ok = connect(m_ui->btnIgnore, SIGNAL(clicked()), this, SLOT(onBtnIgnoreClicked())) && ok;
    ok = connect(m_ui->btnUpgrade, SIGNAL(clicked()), this, SLOT(onBtnUpdateClicked())) && ok;
    if (!ok)
        LOG_ERROR(L"update dialog: a button could not be connected");
}

QUpdateDialog::~QUpdateDialog()
{
    delete m_ui;
}

void QUpdateDialog::setInfo(const QString &version, const QString &downloadUrl, const QStringList &log)
{
    m_version = version;
    m_downloadUrl = downloadUrl;
    auto *model = new QStringListModel(log, this);
    m_ui->listViewLog->setModel(model);
    m_ui->labelVer->setText(QStringLiteral("Tarvex加密系统新版本v%1已发布，建议你立即升级以获得更好的体验！").arg(version));
}

void QUpdateDialog::setMessage(const QString &message)
{
    if (message.isEmpty())
        return;
    // The server's text may be long: it wraps and grows upwards from its line (the picture
    // below it stays clear), then downwards to the button.
    ensurePolished();
    QLabel *label = m_ui->labelMsg;
    label->setText(message);
    label->setWordWrap(true);
    const int need = label->heightForWidth(label->width());
    const int bottom = label->geometry().bottom();
    const int highest = m_ui->labelTitle->geometry().bottom() + QUIScale::scale(8);
    const int top = qMax(highest, qMin(label->y(), bottom + 1 - need));
    const int room = m_ui->btnOk->y() - QUIScale::scale(8) - top;
    label->setGeometry(label->x(), top, label->width(), qBound(bottom + 1 - top, need, room));
    label->setToolTip(need > room ? QUiHelper::plainToolTip(message) : QString());
}

bool QUpdateDialog::runUpgrade(const QString &downloadUrl)
{
    const QString program = CGlobal::appPath() + QStringLiteral("upgrade");
    Launcher launcher;
    {
        std::lock_guard<std::mutex> lock(launcherMutex());
        launcher = launcherSlot();
    }
    bool started = false;
    QUiHelper::guardSilently(L"starting the updater", [&]() {
        // The address is one argument of its own, whatever blanks or quotes it holds.
        started = launcher ? launcher(program, QStringList {downloadUrl}) : startDetached(program, QStringList {downloadUrl});
    });
    if (!started)
    {
        LOG_ERROR(L"the updater could not be started: %s", program);
        QMsgBox::showMessage(QStringLiteral("无法启动升级程序"), 1);
        return false;
    }
    LOG_INFO(L"updater started: %s", program);
    QCoreApplication::exit(0);
    return true;
}

void QUpdateDialog::setLauncher(const Launcher &launcher)
{
    std::lock_guard<std::mutex> lock(launcherMutex());
    launcherSlot() = launcher;
}

void QUpdateDialog::setShown(bool shown)
{
    g_shown = shown;
}

bool QUpdateDialog::isShown()
{
    return g_shown;
}

void QUpdateDialog::onBtnUpdateClicked()
{
    QUiHelper::guard(L"update dialog: upgrade", [this]() { runUpgrade(m_downloadUrl); });
}

void QUpdateDialog::onBtnIgnoreClicked()
{
    // A store that cannot be written loses the choice; the dialog closes all the same.
    QUiHelper::guard(L"update dialog: storing the ignored version", [this]() {
        if (!m_version.isEmpty())
            CommonFun::setSetting(QStringLiteral("update"), m_version, true);
    });
    accept();
}
