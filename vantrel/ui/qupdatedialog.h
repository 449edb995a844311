#pragma once

#include <functional>

#include <QStringList>

#include "qbasedialog.h"

namespace Ui
{
    class QUpdateDialogClass;
}

// Result of a version check: the new version with its change log, upgrade now or later; or,
// in the short form, only that there is nothing new. Also holds the flag that the user asked
// for the check from the menu.
class QUpdateDialog : public QBaseDialog
{
    Q_OBJECT

public:
    // Starts a program detached with its arguments; true when it started.
    using Launcher = std::function<bool(const QString &program, const QStringList &arguments)>;

    explicit QUpdateDialog(bool hasNewVersion, QWidget *parent = nullptr);
    ~QUpdateDialog() override;

    // Fills the new-version form: version as shown ("6.02"), download address, log lines.
    void setInfo(const QString &version, const QString &downloadUrl, const QStringList &log);
    // The line of the short form ("没有发现新版本" unless replaced, e.g. by a failed check's message).
    void setMessage(const QString &message);

    // Starts the updater "upgrade" of the program folder with the address as its one argument
    // and ends the program. When the updater cannot be started the user is told and the
    // program goes on; false then.
    static bool runUpgrade(const QString &downloadUrl);
    // Replaces the way the updater is started (tests); an empty launcher restores the default.
    static void setLauncher(const Launcher &launcher);

    // The user asked for a version check from the menu: set once for the run (cleared only
    // by tests, whose cases each stand for a run of their own).
    static void setShown(bool shown = true);
    static bool isShown();

public slots:
    void onBtnUpdateClicked();
    void onBtnIgnoreClicked();

private:
    Ui::QUpdateDialogClass *m_ui;
    bool m_hasNewVersion;
    QString m_version;
    QString m_downloadUrl;
};
