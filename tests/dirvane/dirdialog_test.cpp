// The directory dialog as dirvane sets it up, on Qt's offscreen platform:
// run as root it must not let the user delete, rename or create anything.
#include "dirdialog.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QToolButton>

#include <cstdio>
#include <sys/stat.h>

namespace {

// What the dialog offers, printed by a forked child that builds it as root
// or as nobody: this process stays without the toolkit's threads.
std::string offeredBy(bool asNobody, const std::string &folder)
{
    return harness::run([&] {
               if (asNobody && !harness::becomeNobody())
                   return;
               // The toolkit's warnings (no XDG_RUNTIME_DIR) are no answer.
               if (!freopen("/dev/null", "w", stderr))
                   return;
               int argc = 1;
               char arg0[] = "dirvane";
               char *argv[] = {arg0, nullptr};
               QApplication app(argc, argv);
               QFileDialog dialog;
               setUpDirDialog(dialog, false);
               dialog.setDirectory(QString::fromStdString(folder));
               const QFileSystemModel *model = dialog.findChild<QFileSystemModel *>();
               // The file dialog deletes nothing through a read-only model.
               printf("read-only %d, rename %d, new folder %d\n", model->isReadOnly(),
                      (model->flags(model->index(QString::fromStdString(folder + "/sub"))) &
                       Qt::ItemIsEditable) != 0,
                      dialog.findChild<QToolButton *>("newFolderButton")->isEnabled());
           })
        .out;
}

TEST(DirDialog, AsRootNothingCanBeDeletedRenamedOrCreated)
{
    // A folder that either may rename and create in.
    harness::TempDir folder;
    const std::string sub = folder.file("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0777), 0);
    ASSERT_EQ(chmod(folder.path().c_str(), 0777) | chmod(sub.c_str(), 0777), 0);
    EXPECT_EQ(offeredBy(false, folder.path()), "read-only 1, rename 0, new folder 0\n");
    EXPECT_EQ(offeredBy(true, folder.path()), "read-only 0, rename 1, new folder 1\n");
}

}  // namespace
