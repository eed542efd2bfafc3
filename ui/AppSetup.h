#pragma once
// What the window program settles before and just after its application
// object exists: the command line, whether a display can be opened, Qt's own
// texts in Chinese and the window icon.

#include <QString>
#include <QStringList>
#include <functional>

class QCoreApplication;

namespace AppSetup {

// The command line, decided without any application object (so --help and
// --version work without a display).
struct CommandLine {
    bool run = true;        // false: print `output` or `error`, exit with exitCode
    int exitCode = 0;
    QString output;         // for stdout
    QString error;          // one line for stderr
    QString platform;       // -platform NAME, when given
};
CommandLine ParseCommandLine(const QStringList &arguments);

// Whether the window can be shown with the given -platform (empty: none
// given). `env` looks up a variable (empty when unset); `xServerAnswers`
// tries a connection to the X server that DISPLAY names.
using EnvLookup = std::function<QString(const char *name)>;
bool DisplayAvailable(const QString &platform, const EnvLookup &env,
                      const std::function<bool()> &xServerAnswers);
bool DisplayAvailable(const QString &platform);

inline constexpr char NoDisplayMessage[] =
    "calitune: no display: set DISPLAY or run on a desktop; for scripts use calitune-cli";

// Qt's own texts (line-edit context menu, standard buttons) in Chinese,
// whatever the system locale. False when Qt's translation is not installed.
bool InstallQtChinese(QCoreApplication &app);

// The program's icon for all its windows; needs a QGuiApplication.
void SetWindowIcon();

} // namespace AppSetup
