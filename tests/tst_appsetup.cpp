// Start-up of the window program: its command line and the "no display"
// answer (against the built program), Qt's Chinese texts and the icon.

#include "ui/AppSetup.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QtTest>

using namespace AppSetup;

class TestAppSetup : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QString out, err;
    };

    // Runs the built calitune with only the given variables set (beyond PATH,
    // HOME, LANG and the sanitizer options).
    static Run calitune(const QStringList &arguments, const QStringList &env = {})
    {
        QProcess p;
        QProcessEnvironment e;
        for (const char *keep :
             {"PATH", "HOME", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(keep))
                e.insert(keep, qEnvironmentVariable(keep));
        for (const QString &pair : env)
            e.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        p.setProcessEnvironment(e);
        p.start(QCoreApplication::applicationDirPath() + "/calitune", arguments);
        Run r;
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitCode();
        r.status = p.exitStatus();
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

private slots:
    void initTestCase()
    {
        if (!QFileInfo(QCoreApplication::applicationDirPath() + "/calitune").isExecutable())
            QFAIL("calitune is not built next to this test");
    }

    // Everything that answers and exits must do so without a display.
    void commandLineWithoutDisplay()
    {
        const Run help = calitune({"--help"});
        QCOMPARE(help.status, QProcess::NormalExit);
        QCOMPARE(help.exitCode, 0);
        QVERIFY2(help.out.startsWith("Usage: calitune"), qPrintable(help.out));
        QVERIFY(help.out.contains("--version"));
        QVERIFY(help.err.isEmpty());
        QCOMPARE(calitune({"-h"}).out, help.out);

        for (const char *option : {"-V", "--version"}) {
            const Run version = calitune({option});
            QCOMPARE(version.exitCode, 0);
            QCOMPARE(version.out, QStringLiteral("calitune %1\n").arg(CALITUNE_VERSION));
        }

        for (const QStringList &bad : {QStringList{"--bogus"}, QStringList{"COM3"},
                                       QStringList{"-platform"}, QStringList{"-v"}}) {
            const Run r = calitune(bad);
            QCOMPARE(r.status, QProcess::NormalExit);
            QCOMPARE(r.exitCode, 2);
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.startsWith("calitune: ") && r.err.count(u'\n') == 1
                         && r.err.contains(QString(bad.constFirst()).remove(u'-')),
                     qPrintable(r.err));
        }
    }

    void noDisplayIsOneLineAndExitOne()
    {
        const QString line = QString::fromLatin1(NoDisplayMessage) + "\n";
        // Nothing set at all; an X display nobody serves; a named but absent plugin choice.
        for (const QStringList &env : {QStringList{}, QStringList{"DISPLAY=:97"},
                                       QStringList{"QT_QPA_PLATFORM=xcb"}}) {
            const Run r = calitune({}, env);
            QCOMPARE(r.status, QProcess::NormalExit);
            QCOMPARE(r.exitCode, 1);
            QCOMPARE(r.err, line);
            QVERIFY(r.out.isEmpty());
        }
    }

    void whichPlatformsNeedADisplayServer_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("qpa");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("wayland");
        QTest::addColumn<bool>("xAnswers");
        QTest::addColumn<bool>("available");
        QTest::newRow("nothing set") << "" << "" << "" << "" << true << false;
        QTest::newRow("DISPLAY, X answers") << "" << "" << ":0" << "" << true << true;
        QTest::newRow("DISPLAY, X refuses") << "" << "" << ":0" << "" << false << false;
        QTest::newRow("only Wayland") << "" << "" << "" << "wayland-0" << false << true;
        QTest::newRow("offscreen") << "" << "offscreen" << "" << "" << false << true;
        QTest::newRow("vnc with options") << "" << "vnc:size=800x600" << "" << "" << false << true;
        QTest::newRow("xcb without DISPLAY") << "" << "xcb" << "" << "wayland-0" << true << false;
        QTest::newRow("xcb, then offscreen") << "" << "xcb;offscreen" << "" << "" << false << true;
        QTest::newRow("-platform wins") << "xcb" << "offscreen" << "" << "" << true << false;
        QTest::newRow("-platform offscreen") << "offscreen" << "" << "" << "" << false << true;
    }

    void whichPlatformsNeedADisplayServer()
    {
        QFETCH(QString, platform);
        QFETCH(QString, qpa);
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(bool, xAnswers);
        const auto env = [&](const char *name) {
            const QByteArray n(name);
            return n == "QT_QPA_PLATFORM" ? qpa
                 : n == "DISPLAY"         ? display
                 : n == "WAYLAND_DISPLAY" ? wayland
                                          : QString();
        };
        QTEST(DisplayAvailable(platform, env, [&] { return xAnswers; }), "available");
    }

    void qtOwnTextsAreChinese()
    {
        QLineEdit edit(QStringLiteral("12"));
        const auto texts = [&] {
            QStringList out;
            std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
            for (QAction *a : menu->actions())
                if (!a->isSeparator())
                    out << a->text().section(u'\t', 0, 0);   // without the shortcut
            return out;
        };
        QVERIFY2(texts().contains(QStringLiteral("&Undo")), qPrintable(texts().join(" | ")));

        QVERIFY(InstallQtChinese(*qApp));
        const QStringList chinese = texts();
        QVERIFY(!chinese.isEmpty());
        const auto isHan = [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; };
        for (const QString &text : chinese)
            QVERIFY2(std::any_of(text.begin(), text.end(), isHan), qPrintable(chinese.join(" | ")));
    }

    void windowIconIsCompiledIn()
    {
        SetWindowIcon();
        QVERIFY(!QApplication::windowIcon().pixmap(QSize(48, 48)).isNull());
        QVERIFY(!QApplication::windowIcon().pixmap(QSize(256, 256)).isNull());
    }
};

QTEST_MAIN(TestAppSetup)
#include "tst_appsetup.moc"
