#pragma once
#include <QDialog>

// What a window needs of the export dialog it opens: the dialog says when a
// raw export has ended, is closed by its opener, and tells how many files
// that raw export could not copy.
class ExportDialog : public QDialog
{
    Q_OBJECT
public:
    using QDialog::QDialog;

    // Called by the opener before it deletes the dialog.
    virtual void closeall() = 0;
    // Files the last raw export could not copy (0 when all were copied).
    virtual int raw_failures() const { return 0; }

Q_SIGNALS:
    // The end of a raw export.
    void endingsignal();
};
