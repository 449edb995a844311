#include "qitemcoursewidget.h"

#include <QDateTime>

#include "qdtacourse.h"
#include "quihelper.h"
#include "quiscale.h"
#include "ui_qitemcoursewidget.h"

QItemCourseWidget::QItemCourseWidget(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::QItemCourseWidgetClass)
{
    m_ui->setupUi(this);
    QUIScale::scaleForm(this);
    init();
}

QItemCourseWidget::~QItemCourseWidget()
{
    delete m_ui;
}

void QItemCourseWidget::init()
{
    setStyleSheet(QUIScale::loadStyleSheet(QStringLiteral(":/qss/itemCourse.css")));
}

void QItemCourseWidget::setData(const QDtaCourse &course)
{
    QUiHelper::setElidedName(m_ui->labelItemName, course.name(), Qt::ElideRight);
    m_ui->labelItemTime->setText(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(static_cast<uint32_t>(course.ctime())))
                                     .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}
