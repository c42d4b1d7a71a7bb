// The directory dialog as the user gets it, apart from main so that the
// tests can build the very dialog the program shows.
#pragma once

class QFileDialog;

// Always on top, with its Chinese title, in /home, in directory mode and the
// detail view; the cancel button reads "取消" when the Chinese texts were
// loaded (translated). Run as root, the dialog is read-only: it lists and
// chooses, but deletes, renames and creates nothing, so that a prompt that
// some service starts as root is not a root file manager for the user.
void setUpDirDialog(QFileDialog &dialog, bool translated);
