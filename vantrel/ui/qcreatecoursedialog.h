#pragma once

#include "qbasedialog.h"

namespace Ui
{
    class QCreateCourseDialogClass;
}

// Asks for the title of a new course; the caller sends the course creation itself.
class QCreateCourseDialog : public QBaseDialog
{
    Q_OBJECT

public:
    explicit QCreateCourseDialog(QWidget *parent = nullptr);
    ~QCreateCourseDialog() override;

    // The typed title without surrounding blanks; read after an accepted execInFront().
    QString courseName() const;

    // Return or Enter validates like the confirm button.
    void onEnter() override;

public slots:
    void onBtnOk();
    void onBtnHome();

private:
    Ui::QCreateCourseDialogClass *m_ui;
};
