#include "download_presentation.h"

#include "downloadencodeitem_presentation.h"
#include "downloaditem_presentation.h"
#include "downloadmultiitems_presentation.h"
#include "zudownload_encode_data.h"
#include "zulog.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>

#include <chrono>

static void initJobsResources()
{
    Q_INIT_RESOURCE(zu_jobs_imgs);
}

namespace {
const char kRowProgressStyle[] =
    "QProgressBar {    border: 1px solid grey; border-radius: 5px; text-align: center;color:white; font: "
    "14px;background-color: rgba(255,255,255,0.2);padding-top:3px;padding-bottom:3px;}";
constexpr int kRowHeight = 100;
} // namespace

// ---------------------------------------------------------------- model

DownloadPresentationModel::DownloadPresentationModel(Download_presentation *window, const QString &kind)
    : QAbstractListModel(nullptr)
    , m_window(window)
    , m_kind(kind)
{
}

QList<Presentation_Interface *> &DownloadPresentationModel::list() const
{
    if (m_kind == QLatin1String("success"))
        return m_window->m_succeeded;
    if (m_kind == QLatin1String("error"))
        return m_window->m_failed;
    return m_window->m_inProgress;
}

int DownloadPresentationModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(list().size());
}

QVariant DownloadPresentationModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::ToolTipRole || !index.isValid() || index.row() < 0 || index.row() >= list().size())
        return QVariant();
    logMessage("[INFO] DownloadPresentationModel::Data -- ToolTipRole");
    Presentation_Interface *item = list().at(index.row());
    if (item->downloadedSuccessfully())
        return QVariant();
    return item->downloadInfoLabel->text();
}

bool DownloadPresentationModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid())
        return false;
    QList<Presentation_Interface *> &items = list();
    for (int i = row + count - 1; i >= row; --i) {
        if (m_kind == QLatin1String("download"))
            logMessage(QStringLiteral("[INFO] DownloadPresentationModel::removeRows -- download + ")
                       + QString::number(items.size()));
        else if (m_kind == QLatin1String("success"))
            logMessage("[INFO] DownloadPresentationModel::removeRows -- success");
        if (i < 0 || i >= items.size())
            continue;
        Presentation_Interface *item = items.at(i);
        if (item->downloadedSuccessfully() || item->tryAgainButton->isEnabled()) {
            beginRemoveRows(QModelIndex(), i, i);
            items.removeAt(i);
            endRemoveRows();
            item->deleteLater();
        }
    }
    return true;
}

// ---------------------------------------------------------------- window

Download_presentation::Download_presentation()
    : QWidget(nullptr)
{
    initJobsResources();
    setupUi(this);
    m_downloadModel = new DownloadPresentationModel(this, QStringLiteral("download"));
    m_successModel = new DownloadPresentationModel(this, QStringLiteral("success"));
    m_errorModel = new DownloadPresentationModel(this, QStringLiteral("error"));
    const struct {
        EditTableView *view;
        DownloadPresentationModel *model;
    } views[] = {{downloadsView, m_downloadModel},
                 {finished_downloadsView, m_successModel},
                 {failure_downloadsView, m_errorModel}};
    for (const auto &v : views) {
        v.view->setShowGrid(true);
        v.view->horizontalHeader()->hide();
        v.view->verticalHeader()->hide();
        v.view->setAlternatingRowColors(false);
        v.view->horizontalHeader()->setStretchLastSection(true);
        v.view->setModel(v.model);
        v.view->setStyleSheet(QStringLiteral("EditTableView::item {border: 0px;border-bottom: 1px solid gray;}"));
    }
    // The badge's content box is 16 pixels wide: a larger picture would be cut.
    label_14->setPixmap(
        Presentation_Interface::resourcePixmap(QStringLiteral(":/imgs/download.svg"), 16, devicePixelRatioF()));
}

Download_presentation::~Download_presentation()
{
    // The row widgets are children of the views and go with them; their
    // destructors stop and wait for their workers. The views are detached
    // from the models first so that nothing asks a model about a list that is
    // being emptied.
    downloadsView->setModel(nullptr);
    finished_downloadsView->setModel(nullptr);
    failure_downloadsView->setModel(nullptr);
    m_inProgress.clear();
    m_succeeded.clear();
    m_failed.clear();
    delete m_downloadModel;
    delete m_successModel;
    delete m_errorModel;
}

void Download_presentation::placeRow(EditTableView *view, int row, Presentation_Interface *item)
{
    QAbstractItemModel *model = view->model();
    item->showFileIcon();
    view->setIndexWidget(model->index(row, 0), item);
    view->setRowHeight(row, kRowHeight);
}

void Download_presentation::add_item(Presentation_Interface *item)
{
    if (!item)
        return;
    logMessage("[INFO] Download Presentation :: add item");
    connect(item, &Presentation_Interface::statusChanged, this, &Download_presentation::update,
            Qt::UniqueConnection);
    const int row = int(m_inProgress.size());
    m_downloadModel->beginInsert(row);
    m_inProgress.append(item);
    m_downloadModel->endInsert();
    if (row == 0)
        show();
    placeRow(downloadsView, row, item);
    item->showFileIcon();
    item->fileNameLabel->setStyleSheet(QStringLiteral("color: white;"));
    item->downloadInfoLabel->setStyleSheet(QStringLiteral("color: white;"));
    item->downloadInfoLabel->setText(QStringLiteral("En attente..."));
    item->downloadInfoLabel->show();
    item->progressBar->setStyleSheet(QString::fromLatin1(kRowProgressStyle));
    Q_EMIT item->statusChanged();
    downloadsView->viewport()->update();
}

int Download_presentation::runningCount()
{
    int running = 0;
    for (Presentation_Interface *item : std::as_const(m_inProgress))
        if (item->isStarted() && !item->isFinished() && !item->hasErrors())
            ++running;
    return running;
}

bool Download_presentation::startNext(const QString &logPrefix)
{
    if (runningCount() >= kMaxRunning)
        return false;
    for (int i = 0; i < m_inProgress.size(); ++i) {
        Presentation_Interface *item = m_inProgress.at(i);
        if (!item->isFinished() && !item->isStarted()) {
            logMessage(logPrefix + QString::number(i));
            m_startTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
            item->start_downloading_item();
            return true;
        }
    }
    return false;
}

bool Download_presentation::moveToList(Presentation_Interface *item, Presentation_Interface *copy,
                                       QList<Presentation_Interface *> &target,
                                       DownloadPresentationModel *targetModel, EditTableView *targetView)
{
    return moveToLists(item, {Move{copy, &target, targetModel, targetView}});
}

bool Download_presentation::moveToLists(Presentation_Interface *item, const QList<Move> &moves)
{
    const auto discard = [&moves] {
        for (const Move &m : moves)
            delete m.copy;
    };
    const int row = int(m_inProgress.indexOf(item));
    if (row < 0) {
        discard();
        return false;
    }
    m_downloadModel->removeRows(row, 1);
    if (m_inProgress.contains(item)) {
        // Not admitted for removal (its retry button is not enabled): the
        // row stays, and no copy is made, so that a later report cannot add
        // a second one.
        discard();
        return false;
    }
    // Out of the in-progress list now: a later report of the same job finds
    // no row and copies nothing.
    for (const Move &m : moves) {
        const int newRow = int(m.target->size());
        m.model->beginInsert(newRow);
        m.target->append(m.copy);
        m.model->endInsert();
        placeRow(m.view, newRow, m.copy);
        m.view->viewport()->update();
    }
    downloadsView->viewport()->update();
    return true;
}

void Download_presentation::update()
{
    if (m_inProgress.isEmpty()) {
        logMessage("[INFO] Download Presentation :: no download to update");
        return;
    }
    m_pending.append(qobject_cast<Presentation_Interface *>(sender()));
    if (m_handling)
        return;
    m_handling = true;
    while (!m_pending.isEmpty()) {
        const QPointer<Presentation_Interface> item = m_pending.takeFirst();
        handleStatus(item.data());
    }
    m_handling = false;
}

void Download_presentation::handleStatus(Presentation_Interface *item)
{
    if (item && m_inProgress.contains(item)) {
        const QString type = item->type();
        if (type.contains(QLatin1String("multi"))) {
            handleMultiStatus(item);
        } else if (type.contains(QLatin1String("encode"))) {
            handleEncodeStatus(item);
        } else if (item->downloadedSuccessfully()) {
            logMessage("[INFO] Download Presentation :: item downloaded Successfully");
            const QString file = item->fileName();
            auto *copy = new DownloadItem_Presentation(this, file);
            if (!item->finalText().isEmpty())
                copy->downloadInfoLabel->setText(item->finalText());
            if (moveToList(item, copy, m_succeeded, m_successModel, finished_downloadsView)) {
                logMessage(QStringLiteral("[INFO] Download Presentation ::STOPPED FILE        ") + file);
                logMessage("[INFO] Download Presentation ::START NEW DOWNLOAD  ");
                startNext(QStringLiteral("[INFO] Download Presentation ::START NEW DOWNLOAD "));
            }
        } else if (item->isInError()) {
            logMessage("[INFO] Download Presentation :: item in error");
            auto *copy = new DownloadItem_Presentation(this, item->fileName());
            const QString text = item->downloadInfoLabel->text();
            logMessage(QStringLiteral("[INFO] Download Presentation :: downloadInfoLabel txt ") + text);
            copy->downloadInfoLabel->setText(text);
            moveToList(item, copy, m_failed, m_errorModel, failure_downloadsView);
        }
    }
    startNext(QStringLiteral("[INFO] Download Presentation :: global start new download "));
    updateTexts();
}

void Download_presentation::handleMultiStatus(Presentation_Interface *item)
{
    auto *job = qobject_cast<DownloadMultiItems_Presentation *>(item);
    if (!job) {
        logMessage(QStringLiteral("[WARN] Download Presentation :: multi type :: update :: not a multi-file job ")
                   + item->fileName());
        return;
    }
    const int row = int(m_inProgress.indexOf(item));
    if (job->isStarted()) {
        if (downloadsView->rowHeight(row) < kRowHeight)
            downloadsView->setRowHeight(row, kRowHeight);
        return;
    }
    // An ended job may stand for files downloaded and files that failed: one
    // copy in each list, for its one row.
    DownloadMultiItems_Presentation *success = nullptr;
    DownloadMultiItems_Presentation *failure = nullptr;
    if (job->downloadedSuccessfully() && !job->doneFiles().isEmpty()) {
        logMessage("[INFO] Download Presentation :: multi type :: update :: downloadedSuccessfully");
        success = new DownloadMultiItems_Presentation(job->pendingFiles(), job->doneFiles(), job->folder());
    }
    if (job->isInError() || !job->errorFiles().isEmpty()) {
        logMessage("[INFO] Download Presentation :: multi type :: update :: error detected");
        failure = new DownloadMultiItems_Presentation(job->errorFiles(), {}, job->folder());
        failure->setType(QStringLiteral("multi"));
        failure->setInError(true);
        connect(failure, &Presentation_Interface::statusChanged, this, &Download_presentation::update);
        connect(failure, &DownloadMultiItems_Presentation::tryAgainFromError, this,
                &Download_presentation::updateFromError);
    }
    QList<Move> moves;
    if (success)
        moves.append(Move{success, &m_succeeded, m_successModel, finished_downloadsView});
    if (failure)
        moves.append(Move{failure, &m_failed, m_errorModel, failure_downloadsView});
    if (moves.isEmpty() || !moveToLists(item, moves) || !success)
        return;
    logMessage(QStringLiteral("[INFO] Download Presentation :: multi type :: update :: STOPPED FILE        ")
               + job->fileName());
    logMessage("[INFO] Download Presentation :: multi type :: update :: START NEW DOWNLOAD  ");
    startNext(QStringLiteral("[INFO] Download Presentation :: multi type :: update :: START NEW DOWNLOAD "));
    logMessage("[INFO] Download Presentation :: multi type :: update :: update views ");
    downloadsView->viewport()->update();
    finished_downloadsView->viewport()->update();
    logMessage("[INFO] Download Presentation :: multi type :: update :: downloadedSuccessfully done");
    const qint64 now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    logMessage(QStringLiteral("[INFO] Download Presentation :: multi type :: update :: files downloaded in ")
               + QString::number(double(now - m_startTime) / 1e9, 'g', 6) + QStringLiteral(" s"));
}

void Download_presentation::handleEncodeStatus(Presentation_Interface *item)
{
    auto *job = qobject_cast<DownloadEncodeItem_Presentation *>(item);
    const QString file = item->fileName();
    if (item->downloadedSuccessfully()) {
        logMessage("[INFO] Download Presentation :: encode type :: item downloaded Successfully");
        auto *copy = new DownloadEncodeItem_Presentation(this, file);
        copy->setFinished(); // a finished row, removable like every succeeded one
        if (!moveToList(item, copy, m_succeeded, m_successModel, finished_downloadsView))
            return;
        logMessage(QStringLiteral("[INFO] Download Presentation :: encode type :: STOPPED FILE        ") + file);
        if (ZuDownload_encode_data *worker = job ? job->takeDownloadEncodeObject() : nullptr) {
            worker->set_stop();
            worker->quit();
            // Connected before the test: a thread that is no longer running
            // has emitted finished() already, one that still runs will.
            connect(worker, &QThread::finished, worker, &QObject::deleteLater);
            if (!worker->isRunning()) {
                worker->deleteLater();
            } else {
                // Its run is in its last steps: it goes once its thread has ended.
                logMessage("[WARN] Download Presentation :: encode type :: failed to delete download / encode object");
            }
        }
        logMessage("[INFO] Download Presentation :: encode type :: START NEW DOWNLOAD  ");
        startNext(QStringLiteral("[INFO] Download Presentation :: encode type :: START NEW DOWNLOAD "));
    } else if (item->isInError()) {
        logMessage("[INFO] Download Presentation :: encode type :: item in error");
        auto *copy = new DownloadEncodeItem_Presentation(this, file);
        connect(copy, &Presentation_Interface::statusChanged, this, &Download_presentation::update);
        connect(copy, &DownloadEncodeItem_Presentation::tryAgainFromError, this, &Download_presentation::updateFromError);
        copy->setType(QStringLiteral("encode"));
        copy->setInError(true);
        if (job)
            copy->setDownloadEncodeObject(job->downloadEncodeObject());
        const QString text = item->downloadInfoLabel->text();
        logMessage(QStringLiteral("[INFO] Download Presentation :: encode type :: ") + text);
        copy->downloadInfoLabel->setText(text);
        moveToList(item, copy, m_failed, m_errorModel, failure_downloadsView);
    }
}

void Download_presentation::updateTexts()
{
    label_current_download->setText(QStringLiteral("En cours (%1)").arg(m_inProgress.size()));
    tabWidget->setTabText(0, QStringLiteral("Réussis (%1)").arg(m_succeeded.size()));
    tabWidget->setTabText(1, QStringLiteral("Echoués (%1)").arg(m_failed.size()));
    if (!m_failed.isEmpty())
        tabWidget->tabBar()->setTabTextColor(1, Qt::red);
}

QString Download_presentation::inProgressTitle() const
{
    return label_current_download->text();
}

QString Download_presentation::tabTitle(int index) const
{
    return tabWidget->tabText(index);
}

QColor Download_presentation::tabTitleColor(int index) const
{
    return tabWidget->tabBar()->tabTextColor(index);
}

void Download_presentation::updateFromError(QString type)
{
    logMessage("[INFO] Download Presentation :: updateFromError");
    if (m_failed.isEmpty()) {
        logMessage("[INFO] Download Presentation :: no download error to update");
        return;
    }
    auto *item = qobject_cast<Presentation_Interface *>(sender());
    const int row = item ? int(m_failed.indexOf(item)) : -1;
    logMessage(QStringLiteral("[INFO] Download Presentation :: updateFromError :: row ") + QString::number(row));
    logMessage(QStringLiteral("[INFO] Download Presentation :: updateFromError :: error type ") + type);
    const bool multi = type.contains(QLatin1String("multi"));
    if (!multi && !type.contains(QLatin1String("encode"))) {
        logMessage("[ERROR] Download Presentation :: update From Error :: unknown type");
        return;
    }
    // A row that is no longer in the failed list has been retried already.
    if (row < 0)
        return;
    Presentation_Interface *retry = multi ? multiRetry(item) : encodeRetry(item);
    if (!retry)
        return;
    retry->clearFinishedAndError();
    m_errorModel->removeRows(row, 1);
    failure_downloadsView->viewport()->update();
    add_item(retry);
}

Presentation_Interface *Download_presentation::multiRetry(Presentation_Interface *failed)
{
    auto *job = qobject_cast<DownloadMultiItems_Presentation *>(failed);
    if (!job)
        return nullptr;
    auto *retry = new DownloadMultiItems_Presentation(job->pendingFiles(), job->doneFiles(), job->folder());
    retry->setType(QStringLiteral("multi"));
    return retry;
}

Presentation_Interface *Download_presentation::encodeRetry(Presentation_Interface *failed)
{
    auto *job = qobject_cast<DownloadEncodeItem_Presentation *>(failed);
    if (!job)
        return nullptr;
    auto *retry = new DownloadEncodeItem_Presentation(this, job->fileName());
    retry->setType(QStringLiteral("encode"));
    retry->setDownloadEncodeObject(job->downloadEncodeObject());
    return retry;
}

void Download_presentation::closeEvent(QCloseEvent *event)
{
    logMessage("[INFO] Download Presentation ::closeEvent");
    QList<QPointer<Presentation_Interface>> active;
    for (Presentation_Interface *item : std::as_const(m_inProgress))
        if (item->stopButton->isEnabled())
            active.append(item);
    if (active.isEmpty()) {
        event->accept();
        return;
    }
    QMessageBox box(this);
    box.setIcon(QMessageBox::Information);
    box.setText(QStringLiteral("Téléchargements actifs"));
    box.setInformativeText(QStringLiteral("Souhaitez-vous annuler les téléchargements actifs ?"));
    box.addButton(QStringLiteral("Non"), QMessageBox::NoRole);
    QPushButton *yes = box.addButton(QStringLiteral("Oui"), QMessageBox::YesRole);
    box.exec();
    if (box.clickedButton() == yes) {
        event->accept();
        for (const QPointer<Presentation_Interface> &item : std::as_const(active))
            if (item && item->stopButton->isEnabled())
                item->stop();
    } else {
        event->ignore();
    }
}
