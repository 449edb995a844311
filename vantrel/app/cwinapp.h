#pragma once

#include <memory>

#include <QString>
#include <QTranslator>

#include "qvantrelapplication.h"

// The application object of vantrel: brings the process-wide services up in order, guards
// the single instance, signs in (token on the command line or the sign-in dialog), runs the
// main window and takes everything down in reverse.
class CWinApp
{
public:
    CWinApp(int &argc, char **argv);
    ~CWinApp();

    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;

    // The first command-line argument (a sign-in token, or anything else), as main() took it
    // out of the argument memory.
    void setLaunchArgument(const QString &argument);
    int run();

    // Sign-in values handed over on the command line ("<word>:<JSON object>").
    struct LaunchToken
    {
        int teacherId = 0;
        QString token;
        QString tokenSecret;
    };
    // True when the argument holds a JSON object whose "uid" (a teacher number), "oauth_token"
    // and "oauth_token_secret" are all non-empty text.
    static bool parseLaunchToken(const QString &argument, LaunchToken &result);

private:
    void loadTranslator();

    QVantrelApplication m_application;
    std::unique_ptr<QTranslator> m_translator;
    QString m_launchArgument;
    // The history store exists and reads its file.
    bool m_historyRead = false;
};
