#include "qcreatecoursedialog.h"

#include "logger.h"
#include "qplatformhosts.h"
#include "qmsgbox.h"
#include "quihelper.h"
#include "quiscale.h"
#include "qweblinks.h"
#include "ui_qcreatecoursedialog.h"

QCreateCourseDialog::QCreateCourseDialog(QWidget *parent)
    : QBaseDialog(parent)
    , m_ui(new Ui::QCreateCourseDialogClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    initFrameless(QStringLiteral(":/qss/createCourse.css"));

    bool ok = connect(m_ui->btnClose, SIGNAL(clicked()), this, SLOT(onClose()));
    ok = connect(m_ui->btnOk, SIGNAL(clicked()), this, SLOT(onBtnOk())) && ok;
    ok = connect(m_ui->btnHome, SIGNAL(clicked()), this, SLOT(onBtnHome())) && ok;
    if (!ok)
        LOG_ERROR(L"create-course dialog: a button could not be connected");

    setFocus();
    m_ui->editCourseName->setFocus();
}

QCreateCourseDialog::~QCreateCourseDialog()
{
    delete m_ui;
}

QString QCreateCourseDialog::courseName() const
{
    return m_ui->editCourseName->text().trimmed();
}

void QCreateCourseDialog::onEnter()
{
    onBtnOk();
}

void QCreateCourseDialog::onBtnOk()
{
    QUiHelper::guard(L"create-course dialog: confirm", [this]() {
        if (courseName().isEmpty())
        {
            QMsgBox::showMessage(QStringLiteral("课程名称不能为空"), 1);
            m_ui->editCourseName->setFocus();
            return;
        }
        onOK();
    });
}

void QCreateCourseDialog::onBtnHome()
{
    // A browser that cannot be started is not reported.
    QUiHelper::guard(L"create-course dialog: opening the back office",
                     []() { QWebLinks::open(QPlatformHosts::webHost(), QStringLiteral("/")); });
}
