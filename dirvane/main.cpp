// dirvane: lets the user pick a directory with the toolkit's file dialog and
// hands {"status":N, "pathName":"..."} to the calling service through the
// directory result segment (or the descriptor that libzefclient handed it).
#include "dirdialog.h"
#include "handoff.h"
#include "promptsetup.h"
#include "resulttext.h"
#include "sharememory.h"

#include <QApplication>
#include <QByteArray>
#include <QFileDialog>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

static void writeShareMemoryData(int status, const char *pathName)
{
    char text[DIR_SEGMENT_SIZE];
    if (!formatResultText(text, status, pathName))
        puts("pathName too long, handed over as cancelled");
    printf("p:%s\n", text);
    handOverResult(DIR_SEGMENT_KEY, text, sizeof text);
}

int main(int argc, char **argv)
{
    setUpPrompt();
#if QT_VERSION < QT_VERSION_CHECK(5, 7, 0)
    // Qt 5.6 lists the path's completions in a popup that takes the keys
    // while it is up, past the input method: a key whose answer from ibus or
    // fcitx comes after that would land behind the ones typed meanwhile
    // ("/tmp" as "/mtp" on a busy machine). Asked in step, each key is placed
    // before the next is read.
    setenv("IBUS_ENABLE_SYNC_MODE", "1", 0);
    setenv("FCITX_QT_USE_SYNC", "1", 0);
#endif
    QApplication app(argc, argv);
    setUpPromptApplication();
    QTranslator translator;
    QLocale locale;
    bool translated = false;

    if (locale.language() == QLocale::Chinese) {
        puts("中文系统");
        // Relative on purpose: the calling service starts us from the
        // installation folder, which holds translations/.
        if (translator.load("translations/qt_zh_CN.qm")) {
            QCoreApplication::installTranslator(&translator);
            translated = true;
        } else {
            puts("中文字体加载失败");
        }
    }

    QFileDialog *dialog = new (std::nothrow) QFileDialog(nullptr, QString(), QString(), QString());
    if (!dialog) {
        puts("new QFileDialog fail");
        return -1;
    }
    setUpDirDialog(*dialog, translated);

    char pathName[DIR_SEGMENT_SIZE];
    memset(pathName, 0, sizeof pathName);
    int status = 2;

    if (dialog->exec()) {
        const QStringList files = dialog->selectedFiles();
        for (const QString &file : files) {
            memset(pathName, 0, sizeof pathName);
            // Keep the last byte for the terminator; a path this long is
            // refused as too long when the result text is formatted.
            const QByteArray local = file.toLocal8Bit();
            memcpy(pathName, local.constData(),
                   std::min(static_cast<size_t>(local.size()), sizeof pathName - 1));
        }
        status = 1;
    }
    delete dialog;

    clearResult(DIR_SEGMENT_KEY, DIR_SEGMENT_SIZE);
    writeShareMemoryData(status, pathName);
    return 0;
}
