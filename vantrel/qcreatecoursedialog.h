#pragma once

#include <QUrl>

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
    // Home page of the merchant back office (root of the platform's web host).
    static QUrl homeUrl();

    // Return or Enter validates like the confirm button.
    void onEnter() override;

public slots:
    void onBtnOk();
    void onBtnHome();

private:
    Ui::QCreateCourseDialogClass *m_ui;
};
