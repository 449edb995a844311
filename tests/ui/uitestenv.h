#pragma once

#include <functional>
#include <memory>

#include <QString>
#include <QStringList>

class PlatformServer;
class QWidget;

// The services a window of the program needs, brought up in a test process: resources, a
// private data folder and "start.ini", the demo platform server on a free port, the HTTP
// workers, sorbin from the build.
class UiTestEnv
{
public:
    // threads: the "threads" value written into the test's "start.ini".
    explicit UiTestEnv(bool withServer = true, int threads = 0);
    ~UiTestEnv();

    PlatformServer *server() const;
    QString host() const;
    QString dataPath() const;
    QString tempDir() const;
    // Signs the demo account in without the dialog.
    void signInDemo();
    // Waits until every request sent so far has been answered and its reply delivered to its
    // receiver, then takes new requests again: a late reply has arrived, not just had time to.
    void deliverPendingReplies();

private:
    std::unique_ptr<PlatformServer> m_server;
    QString m_temp;
};

// Answers the next modal windows from a timer: `act` gets the active modal window and returns
// true once it has acted on it. A window acted on that stays open is given to `act` again on
// the next tick; `handled()` counts the windows acted on that have gone away.
class ModalAnswer
{
public:
    explicit ModalAnswer(std::function<bool(QWidget *)> act);
    ~ModalAnswer();
    int handled() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The text of a message box, or empty when the widget is none.
QString messageText(QWidget *widget);
// Answers a file dialog as a user would: types the paths into its name box and accepts.
// (selectFile() leaves the name box alone while it has the keyboard focus, and the folder
// may not have loaded yet, so that an accept after it alone may choose nothing.)
// False when `widget` is no file dialog.
bool chooseFiles(QWidget *widget, const QStringList &paths);
// Clicks the named button of a dialog; false when there is no such button.
bool clickButton(QWidget *dialog, const char *name);
// Answers a settings dialog as a user would: first course, "下一步", the mode's radio button
// ("radioFast", "radioCodec"), "立即上传". False when `widget` is no settings dialog or its
// course list has not arrived yet.
bool answerSettings(QWidget *widget, const char *modeRadio);

// Screenshot tools: the output folder (argument 1, else `fallback`, created, ending in "/"),
// and one window shown, settled and saved as PNG; prints "wrote" or "FAILED" with the path.
QString shotFolder(int argc, char **argv, const QString &fallback);
bool saveShot(QWidget *widget, const QString &path);
// UISHOTS_SCREEN=1 takes the picture from the display instead of the window.
// UISHOTS_SCALE=1.25 draws the windows as on a screen of 120 DPI.
void applyShotScale();
