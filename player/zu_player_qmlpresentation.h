#pragma once
#include <QList>
#include <QMainWindow>
#include <QQmlError>
#include <QString>

class AppInfo;
class Canvas;
class PreviewPopup;
class QQmlEngine;
class QQuickView;
class QSplitter;
class ZuFolderDialogController;
class ZuPlayerInferfaceController;

// The main window: the QML side panel beside the video surface, the QML
// timeline view under it. Each view is a window of its own inside the main
// window (a window container), drawn by Qt Quick on its own: the rest of
// the window, the video surface above all, is painted without composing
// the views again for every picture. QML reaches native code only through the
// root-context objects set here: "videoWidget" and "videoController" (both
// the controller), "previewPopup", "ZuFolderDialogController", "AppInfo"
// and "mainWindow" (this window, for what only a window can do).
class ZU_Player_qmlpresentation : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr const char *kSidePanelUrl = "qrc:/qml/Zuplayer/PlayerTalvor/SidePanel.qml";
    static constexpr const char *kTimelineUrl = "qrc:/qml/Zuplayer/PlayerTalvor/TimelineView.qml";

    static constexpr int kTimelineHeight = 232;

    explicit ZU_Player_qmlpresentation(QWidget *parent = nullptr);
    // Makes the transport bar's export command open the export dialog; done
    // by the first window unless something else was installed before.
    static void installExportDialog();
    ~ZU_Player_qmlpresentation() override;

    QQmlEngine *engine() const { return m_engine; }
    QQuickView *sidePanel() const { return m_sidePanel; }
    QQuickView *timelineView() const { return m_timelineView; }
    // The widgets that hold them in the window's layout.
    QWidget *sidePanelWidget() const { return m_sidePanelWidget; }
    QWidget *timelineWidget() const { return m_timelineWidget; }
    Canvas *canvas() const { return m_canvas; }
    ZuPlayerInferfaceController *controller() const { return m_controller; }
    ZuFolderDialogController *folderController() const { return m_folderController; }
    PreviewPopup *previewPopup() const { return m_previewPopup; }
    AppInfo *appInfo() const { return m_appInfo; }
    // Errors reported by the two views while loading (empty when both loaded).
    QList<QQmlError> qmlErrors() const;

    // Opens an alarm picture in its own viewer window.
    Q_INVOKABLE void show_picture(const QString &path, const QString &name);

private:
    QQmlEngine *m_engine = nullptr;
    Canvas *m_canvas = nullptr;
    ZuPlayerInferfaceController *m_controller = nullptr;
    PreviewPopup *m_previewPopup = nullptr;
    AppInfo *m_appInfo = nullptr;
    ZuFolderDialogController *m_folderController = nullptr;
    QSplitter *m_splitter = nullptr;
    QWidget *m_placeholder = nullptr;
    QQuickView *m_sidePanel = nullptr;
    QQuickView *m_timelineView = nullptr;
    QWidget *m_sidePanelWidget = nullptr;
    QWidget *m_timelineWidget = nullptr;
};
