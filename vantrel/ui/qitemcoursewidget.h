#pragma once

#include <QWidget>

class QDtaCourse;

namespace Ui
{
    class QItemCourseWidgetClass;
}

// One row of the settings dialog's course list: name, category and creation time.
class QItemCourseWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QItemCourseWidget(QWidget *parent = nullptr);
    ~QItemCourseWidget() override;

    void setData(const QDtaCourse &course);

private:
    void init();

    Ui::QItemCourseWidgetClass *m_ui;
};
