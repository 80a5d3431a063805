#pragma once
#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QWidget>

#include "edittableview.h"
#include "presentation_interface.h"
#include "ui_download_presentation.h"

class Download_presentation;

// One of the job window's three lists as a model; the rows are drawn by the
// job items set as the view's row widgets, so the model only answers the row
// count, the tool tip and removals.
class DownloadPresentationModel : public QAbstractListModel
{
    Q_OBJECT
public:
    // `kind`: "download" (in progress), "success" or "error".
    DownloadPresentationModel(Download_presentation *window, const QString &kind);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // Removes only rows whose job has ended (successful, or failed with its
    // retry button enabled); running and waiting jobs stay. Removed items are
    // deleted later.
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    void beginInsert(int row) { beginInsertRows(QModelIndex(), row, row); }
    void endInsert() { endInsertRows(); }

private:
    QList<Presentation_Interface *> &list() const;

    Download_presentation *m_window;
    QString m_kind;
};

// The window that runs and shows jobs: those in progress or waiting, those
// that succeeded ("Réussis") and those that failed ("Echoués"). At most two
// jobs run at once. GUI thread only.
class Download_presentation : public QWidget, private Ui::Download_presentation
{
    Q_OBJECT
public:
    static constexpr int kMaxRunning = 2;

    Download_presentation();
    ~Download_presentation() override;

    void add_item(Presentation_Interface *item);

    // Read access for the models and for tests.
    QList<Presentation_Interface *> &inProgressJobs() { return m_inProgress; }
    QList<Presentation_Interface *> &succeededJobs() { return m_succeeded; }
    QList<Presentation_Interface *> &failedJobs() { return m_failed; }
    EditTableView *inProgressView() const { return downloadsView; }
    EditTableView *succeededView() const { return finished_downloadsView; }
    EditTableView *failedView() const { return failure_downloadsView; }
    QString inProgressTitle() const;
    QString tabTitle(int index) const;
    QColor tabTitleColor(int index) const;
    int runningCount();

public Q_SLOTS:
    void update();
    void updateFromError(QString type);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void handleStatus(Presentation_Interface *item);
    // The branches of the network download jobs (type tag "multi" or
    // "encode"): which copies go to which list once the job has ended.
    void handleMultiStatus(Presentation_Interface *item);
    void handleEncodeStatus(Presentation_Interface *item);
    // The new job that retries a failed row; null when there is none.
    Presentation_Interface *multiRetry(Presentation_Interface *failed);
    Presentation_Interface *encodeRetry(Presentation_Interface *failed);
    // Starts the first waiting job when fewer than kMaxRunning run; the log
    // line is `logPrefix` followed by the job's index.
    bool startNext(const QString &logPrefix);
    // Takes `item` out of the in-progress list and puts `copy` at the end of
    // `target`. False (and `copy` deleted) when the row may not go yet.
    bool moveToList(Presentation_Interface *item, Presentation_Interface *copy, QList<Presentation_Interface *> &target,
                    DownloadPresentationModel *targetModel, EditTableView *targetView);
    struct Move {
        Presentation_Interface *copy;
        QList<Presentation_Interface *> *target;
        DownloadPresentationModel *model;
        EditTableView *view;
    };
    // As moveToList, with one or more copies for the one row of `item`.
    bool moveToLists(Presentation_Interface *item, const QList<Move> &moves);
    void placeRow(EditTableView *view, int row, Presentation_Interface *item);
    void updateTexts();

    QList<Presentation_Interface *> m_inProgress;
    QList<Presentation_Interface *> m_succeeded;
    QList<Presentation_Interface *> m_failed;
    DownloadPresentationModel *m_downloadModel = nullptr;
    DownloadPresentationModel *m_successModel = nullptr;
    DownloadPresentationModel *m_errorModel = nullptr;
    qint64 m_startTime = 0;

    // Status reports that arrive while one is being handled (a job started
    // by the start rule may report at once) wait their turn.
    QList<QPointer<Presentation_Interface>> m_pending;
    bool m_handling = false;

    friend class DownloadPresentationModel;
};
