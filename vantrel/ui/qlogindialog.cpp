#include "qlogindialog.h"

#include <QLineEdit>
#include <QPalette>
#include <QTimer>

#include "commonfun.h"
#include "logger.h"
#include "qtutils.h"
#include "uexception.h"
#include "qmsgbox.h"
#include "qplatformhosts.h"
#include "qreplyrelay.h"
#include "quihelper.h"
#include "quiscale.h"
#include "quser.h"
#include "qweblinks.h"
#include "shell.h"
#include "ui_qlogindialog.h"

namespace
{
    // Pass phrase of the remembered password.
    const std::string kPasswordKey = "rqmkzt5827";
    // Longer than a request may take (its own time-out) even behind others in the queue.
    const int kLoginWaitMs = 60000;
}

QLoginDialog::QLoginDialog(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QLoginDialogClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/login.css"));
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setWindowTitle(QStringLiteral("Tarvex视频加密系统"));
    setWindowIcon(QIcon(QStringLiteral(":/images/ostrel.ico")));

    bool ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onBtnClose()));
    ok = connect(m_ui->btnLogin, SIGNAL(clicked()), this, SLOT(onBtnLogin())) && ok;
    ok = connect(m_ui->btnForgetPwd, SIGNAL(clicked()), this, SLOT(onBtnForgetPassword())) && ok;
    ok = connect(m_ui->btnReg, SIGNAL(clicked()), this, SLOT(onBtnRegisterAgency())) && ok;
    ok = connect(m_ui->btnMin, SIGNAL(clicked()), this, SLOT(onBtnMinmize())) && ok;
    if (!ok)
        LOG_ERROR(L"sign-in dialog: a button could not be connected");

    setTabOrder(m_ui->editUser, m_ui->editPwd);
    setTabOrder(m_ui->editPwd, m_ui->btnLogin);
    setTabOrder(m_ui->btnLogin, m_ui->btnReg);
    setTabOrder(m_ui->btnReg, m_ui->btnForgetPwd);
    setTabOrder(m_ui->btnForgetPwd, m_ui->btnMin);

    // The style sheet gives the hints the colour of typed text: set theirs after it applied.
    for (QLineEdit *edit : {m_ui->editUser, m_ui->editPwd})
    {
        edit->ensurePolished();
        QPalette palette = edit->palette();
        palette.setColor(QPalette::PlaceholderText, QColor(187, 187, 187));
        edit->setPalette(palette);
    }

    m_ui->editUser->setFocus();
    restoreAccount();
}

QLoginDialog::~QLoginDialog()
{
    delete m_ui;
}

void QLoginDialog::restoreAccount()
{
    m_ui->editUser->setText(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name"), QString()));
    const QString stored = CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_pwd"), QString());
    QString password;
    try
    {
        bool ok = false;
        password = decryptQString(stored, kPasswordKey, &ok);
        if (!ok)
            password.clear();
    }
    catch (...)
    {
        password.clear();
    }
    // A remembered password that cannot be read leaves the field empty.
    if (!stored.isEmpty() && password.isEmpty())
        LOG_WARNING(L"the remembered password could not be read");
    m_ui->editPwd->setText(password);
}

void QLoginDialog::onEnter()
{
    onBtnLogin();
}

void QLoginDialog::setNotice(const QString &text)
{
    m_ui->labelNotice->setText(text);
    refreshStyle(m_ui->labelNotice, "status", QStringLiteral("error"));
}

bool QLoginDialog::isWaiting() const
{
    return m_waiting;
}

void QLoginDialog::setWaiting(bool waiting)
{
    m_waiting = waiting;
    m_ui->btnLogin->setEnabled(!waiting);
    m_ui->btnLogin->setText(waiting ? tr("正在登录…") : tr("登录"));
    m_ui->editUser->setReadOnly(waiting);
    m_ui->editPwd->setReadOnly(waiting);
    if (waiting)
    {
        m_ui->labelNotice->setText(tr("正在连接服务器，请稍候…"));
        refreshStyle(m_ui->labelNotice, "status", QStringLiteral("normal"));
    }
    else if (m_ui->labelNotice->property("status").toString() != QLatin1String("error"))
    {
        m_ui->labelNotice->clear();
    }
}

void QLoginDialog::onBtnLogin()
{
    // One request at a time: Enter or a click while one is on its way does nothing.
    if (m_waiting)
        return;
    QUiHelper::guard(L"sign-in", [this]() {
        const QString user = m_ui->editUser->text().trimmed();
        U_ASSERT_MSG(!user.isEmpty(), QStringLiteral("用户名不能为空！"));
        const QString password = m_ui->editPwd->text().trimmed();
        U_ASSERT_MSG(!password.isEmpty(), QStringLiteral("用户密码不能为空！"));
        auto *relay = new QReplyRelay(++m_loginSerial, this);
        U_ASSERT_MSG(connect(relay, SIGNAL(replied(int,bool,QValue,QString)), this,
                             SLOT(onLoginReplied(int,bool,QValue,QString))),
                     QStringLiteral("登录失败，请重试！"));
        setWaiting(true);
        QUser::instance()->login(user, password, relay, QReplyRelay::slotSignature());
        const int serial = m_loginSerial;
        QTimer::singleShot(kLoginWaitMs, this, [this, serial]() {
            if (!m_waiting || serial != m_loginSerial)
                return;
            ++m_loginSerial;
            setWaiting(false);
            setNotice(tr("服务器没有响应，请稍后重试"));
        });
    });
}

void QLoginDialog::onLoginReplied(int serial, bool ok, const QValue &data, const QString &msg)
{
    if (serial != m_loginSerial || !m_waiting)
        return;
    onLoginReponse(ok, data, msg);
}

void QLoginDialog::onLoginReponse(bool ok, const QValue &data, const QString &msg)
{
    setWaiting(false);
    QUiHelper::guard(L"sign-in reply", [&]() {
        if (!ok)
        {
            QMsgBox::showMessage(msg, 1);
            return;
        }
        bool isNumber = false;
        // Any id that reads as a positive integer; the token and its secret only as text.
        const int uid = QUiHelper::memberText(data, "uid").toInt(&isNumber, 10);
        std::string token;
        std::string secret;
        jsonOptionalString(data, QStringLiteral("oauth_token"), token);
        jsonOptionalString(data, QStringLiteral("oauth_token_secret"), secret);
        // A reply without a usable account id or token is no sign-in.
        U_ASSERT_MSG(isNumber && uid > 0 && !token.empty(), QStringLiteral("登录失败，服务器返回的数据无效！"));

        QUser::instance()->setTeacherId(uid);
        QUser::instance()->setToken(QString::fromStdString(token), QString::fromStdString(secret));
        const QString user = m_ui->editUser->text().trimmed();
        const QString password = m_ui->editPwd->text().trimmed();
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_name"), user);
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_pwd"), encryptQString(password, kPasswordKey));
        // A value that could not be saved waits in the store: saved now, or said. The sign-in
        // goes on either way; only the next start will not know the account.
        QString why;
        if (!CommonFun::syncSettings(&why))
            QMsgBox::showMessage(tr("登录成功，但用户名和密码无法保存到数据文件夹（%1），下次启动时需要重新输入。请检查磁盘空间和文件夹权限")
                                     .arg(why), 1);
        accept();
    });
}

void QLoginDialog::onBtnForgetPassword()
{
    QWebLinks::open(QPlatformHosts::webHost(), QStringLiteral("/static/forgetPass.php"));
}

void QLoginDialog::onBtnRegisterAgency()
{
    QWebLinks::open(QPlatformHosts::siteHost(), QStringLiteral("/static/register.php"));
}

void QLoginDialog::onBtnMinmize()
{
    QTimer::singleShot(20, this, [this]() { showMinimized(); });
}

void QLoginDialog::onBtnClose()
{
    onClose();
}

void QLoginDialog::showEvent(QShowEvent *event)
{
    setAttribute(Qt::WA_Mapped);
    QBaseDialog::showEvent(event);
    m_ui->btnMin->repaint();
    // Run with a plain exec: the window comes to the front once it exists.
    platform::bringToFront(windowHandle());
}
