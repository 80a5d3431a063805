#pragma once
#include <QNetworkReply>
#include <QPointer>
#include <QSaveFile>
#include <QUrl>

#include "presentation_interface.h"

class Download_presentation;
class QNetworkAccessManager;

// A job row with two roles: the finished row that stands for an ended job in
// the window's succeeded or failed list (file name and the two open
// buttons), and a single-file download over HTTP with progress, rate, time
// left, stop and retry. The download needs a network manager and an address
// (setNetworkManager, setUrlText); without them a start only changes the row.
class DownloadItem_Presentation : public Presentation_Interface
{
    Q_OBJECT
public:
    DownloadItem_Presentation(Download_presentation *window, const QString &fileName);
    ~DownloadItem_Presentation() override;

    void init() override;
    void setFinished() override;
    bool hasErrors() override;
    void start_downloading_item() override;
    QString fileName() override;
    QString formatSize(qint64 bytes) override;
    void updateInfoLabel() override;

    // How the download reaches the row (the window's creation of a finished
    // row leaves all four unset). An address makes a row that was never
    // started a waiting download.
    void setNetworkManager(QNetworkAccessManager *manager);
    void setUrlText(const QString &url);
    void setSizeText(const QString &kib);
    void setAskForFileName(bool ask);

    // The first free name in `folder` for the last segment of `url`'s path:
    // base.suffix, then base-1.suffix, base-2.suffix, ...; an empty base is
    // "unnamed_download". Path separators and ".." in the URL never lead out
    // of `folder`.
    static QString defaultFileName(const QString &folder, const QUrl &url);

public Q_SLOTS:
    void finished() override;
    void stop() override;

private Q_SLOTS:
    void tryAgain() override;
    void open() override;
    void openRep() override;
    void downloadReadyRead() override;
    void error(QNetworkReply::NetworkError code) override;
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void metaDataChanged() override;

private:
    void failWithText(const QString &text);
    bool getFileName();
    void detachReply();

    QUrl m_url;
    QPointer<QNetworkReply> m_reply;
    QNetworkAccessManager *m_manager = nullptr;
    QString m_urlText;
    bool m_askForFileName = false;
    QString m_fileName;
    QString m_chosenPath;
    QSaveFile m_output;
    bool m_selfAborted = false;
};
