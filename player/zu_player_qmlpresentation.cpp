#include "zu_player_qmlpresentation.h"

#include "alarmviewer.h"
#include "appinfo.h"
#include "canvas.h"
#include "popupexport.h"
#include "previewpopup.h"
#include "zufolderdialog.h"
#include "zulog.h"
#include "zuplayerinterfacecontroller.h"
#include "zustreamreadandcontrol.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QPointer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QShortcut>
#include <QIcon>
#include <QLabel>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

static void initQmlResources()
{
    Q_INIT_RESOURCE(zuplayer_qml);
}

namespace {
const QColor kPanelColor(0x15, 0x19, 0x20);

QWidget *makePlaceholder(QWidget *parent)
{
    auto *page = new QWidget(parent);
    page->setObjectName(QStringLiteral("videoPlaceholder"));
    page->setAttribute(Qt::WA_StyledBackground);
    page->setStyleSheet(QStringLiteral("#videoPlaceholder { background: #0b0d10; }"
                                       "QLabel { background: transparent; }"));
    auto *layout = new QVBoxLayout(page);
    layout->addStretch(1);
    auto *icon = new QLabel(page);
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(QIcon(QStringLiteral(":/qml/Zuplayer/resources/icons/video-off.svg")).pixmap(72, 72));
    auto *title = new QLabel(ZU_Player_qmlpresentation::tr("Aucune vidéo à afficher"), page);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("color: #e6e9ef; font-size: 22px; font-weight: 600;"));
    auto *detail = new QLabel(
        ZU_Player_qmlpresentation::tr("Ouvrez un dossier d'exportation Talvor, puis choisissez un jour "
                                      "et une caméra dans le panneau de gauche."),
        page);
    detail->setAlignment(Qt::AlignCenter);
    detail->setWordWrap(true);
    detail->setStyleSheet(QStringLiteral("color: #a3abb9; font-size: 14px;"));
    layout->addWidget(icon);
    layout->addSpacing(10);
    layout->addWidget(title);
    layout->addWidget(detail);
    layout->addStretch(1);
    return page;
}

// At a view's first exposure the window's thread waits until the view's
// first frame is on the screen, and with a software renderer the content's
// first frame takes long (its shaders are compiled then): the camera's
// first picture would wait for both views' content in turn. So a view is
// first drawn empty (its background), and its content, synchronised right
// after, is drawn by the view's render thread while the window's thread
// goes on.
class ContentAfterExposure : public QObject
{
public:
    ContentAfterExposure(QQuickItem *root, QQuickView *view) : QObject(view), m_root(root)
    {
        root->setVisible(false);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *view = qobject_cast<QQuickView *>(watched);
        if (!view || event->type() != QEvent::Expose)
            return false;
        static_cast<QObject *>(view)->event(event);
        if (view->isExposed()) {
            view->removeEventFilter(this);
            if (m_root)
                m_root->setVisible(true);
            QEvent update(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(view, &update);
            deleteLater();
        }
        return true;
    }

private:
    QPointer<QQuickItem> m_root;
};

QQuickView *makeView(QQmlEngine *engine, const char *url)
{
    auto *view = new QQuickView(engine, nullptr);
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setColor(kPanelColor);
    view->setSource(QUrl(QString::fromLatin1(url)));
    for (const QQmlError &e : view->errors())
        logMessage(QStringLiteral("[ERROR] ZU_Player_qmlpresentation :: qml :: ") + e.toString());
    // The view's first frame is drawn without its content (ContentAfterExposure).
    if (QQuickItem *root = view->rootObject())
        view->installEventFilter(new ContentAfterExposure(root, view));
    return view;
}

// The view in the widget layout; the widget owns it.
QWidget *holder(QQuickView *view, QWidget *parent, const QString &name)
{
    QWidget *widget = QWidget::createWindowContainer(view, parent);
    widget->setObjectName(name);
    return widget;
}
} // namespace

ZU_Player_qmlpresentation::ZU_Player_qmlpresentation(QWidget *parent) : QMainWindow(parent)
{
    initQmlResources();
    setObjectName(QStringLiteral("ZU_Player_qmlpresentation"));
    setStyleSheet(QStringLiteral(
        "QMainWindow { background: #0e1014; }"
        "QSplitter::handle { background: #2a303c; }"
        "QSplitter::handle:hover { background: #3b82f6; }"));

    m_engine = new QQmlEngine(this);
    m_engine->addImportPath(AppInfo::qmlImportPath());

    m_canvas = new Canvas();
    m_canvas->set_player_fed();
    m_canvas->setDigitalZoomEnabled(true);
    m_canvas->setDoubleClickFullscreen(false);

    if (!ZuPlayerInferfaceController::hasExportDialogFactory())
        installExportDialog();
    m_controller = new ZuPlayerInferfaceController(this);
    m_controller->set_canvas(m_canvas);
    // The surface shares the engine's pictures, scaled for it by the
    // engine's threads: the window's thread copies no picture and scales
    // none while the view stays as it is. It takes each one as the engine
    // shows it: queued, a picture would wait behind what the thread queued
    // meanwhile (the views filling their lists when a camera opens).
    connect(m_controller->reader(), &ZuStreamReadAndControl::display_picture, m_canvas,
            &Canvas::displayPicture, Qt::DirectConnection);
    connect(m_canvas, &Canvas::viewChanged, m_controller->reader(), &ZuStreamReadAndControl::setDisplayView);

    m_previewPopup = new PreviewPopup(this);
    m_appInfo = new AppInfo(this);
    m_folderController = new ZuFolderDialogController(this, this);

    // The day the side panel will open is read while the views are built.
    m_controller->prepare_day(m_folderController->findInitialFolder());

    QQmlContext *ctx = m_engine->rootContext();
    ctx->setContextProperty(QStringLiteral("videoWidget"), m_controller);
    ctx->setContextProperty(QStringLiteral("videoController"), m_controller);
    ctx->setContextProperty(QStringLiteral("previewPopup"), m_previewPopup);
    ctx->setContextProperty(QStringLiteral("ZuFolderDialogController"), m_folderController);
    ctx->setContextProperty(QStringLiteral("AppInfo"), m_appInfo);
    ctx->setContextProperty(QStringLiteral("mainWindow"), this);

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setHandleWidth(1);
    m_splitter->setChildrenCollapsible(false);

    m_sidePanel = makeView(m_engine, kSidePanelUrl);
    m_sidePanelWidget = holder(m_sidePanel, m_splitter, QStringLiteral("sidePanel"));
    m_sidePanelWidget->setMinimumWidth(320);

    auto *right = new QWidget(m_splitter);
    right->setObjectName(QStringLiteral("videoArea"));
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(0);
    // Until a camera plays, the video area says what to do instead of
    // staying black.
    auto *videoStack = new QStackedWidget(right);
    videoStack->setObjectName(QStringLiteral("videoStack"));
    m_placeholder = makePlaceholder(videoStack);
    m_canvas->setMinimumSize(640, 360);
    videoStack->addWidget(m_placeholder);
    videoStack->addWidget(m_canvas);
    rightLayout->addWidget(videoStack, 1);
    const auto follow = [this, videoStack] {
        videoStack->setCurrentWidget(m_controller->selected_camera().isEmpty() ? m_placeholder
                                                                               : static_cast<QWidget *>(m_canvas));
    };
    connect(m_controller, &ZuPlayerInferfaceController::selectedCameraChanged, videoStack, follow);
    follow();
    m_timelineView = makeView(m_engine, kTimelineUrl);
    m_timelineWidget = holder(m_timelineView, right, QStringLiteral("timelineView"));
    m_timelineWidget->setFixedHeight(kTimelineHeight);
    rightLayout->addWidget(m_timelineWidget, 0);

    m_splitter->addWidget(m_sidePanelWidget);
    m_splitter->addWidget(right);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({360, 1240});
    setCentralWidget(m_splitter);

    // The usual player keys, wherever the focus is in the window.
    const auto shortcut = [this](const QKeySequence &keys, auto slot) {
        auto *s = new QShortcut(keys, this);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, m_controller, slot);
    };
    shortcut(QKeySequence(Qt::Key_Space), [this] { m_controller->toggle_play_pause(); });
    shortcut(QKeySequence(Qt::Key_Right), [this] { m_controller->next_frame_button(); });
    shortcut(QKeySequence(Qt::Key_Left), [this] { m_controller->previous_frame_button(); });
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_Right), [this] { m_controller->jump_seconds(10); });
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_Left), [this] { m_controller->jump_seconds(-10); });
}

void ZU_Player_qmlpresentation::installExportDialog()
{
    ZuPlayerInferfaceController::setExportDialogFactory(
        [](const ZuPlayerInferfaceController::ExportRequest &r) -> ExportDialog * {
            return new PopupExport(r.dayVideoFiles, r.cameraId, r.streamId, r.dayFolder, r.timestamp);
        });
}

ZU_Player_qmlpresentation::~ZU_Player_qmlpresentation()
{
    // The views go first: their bindings still reach the root-context
    // objects while they are torn down.
    delete m_sidePanelWidget;
    m_sidePanelWidget = nullptr;
    m_sidePanel = nullptr;
    delete m_timelineWidget;
    m_timelineWidget = nullptr;
    m_timelineView = nullptr;
    // The surface goes before the controller: deleting it drops the queued
    // pictures still addressed to it, whose buffers die with the engine.
    delete m_canvas;
    m_canvas = nullptr;
}

QList<QQmlError> ZU_Player_qmlpresentation::qmlErrors() const
{
    QList<QQmlError> all;
    if (m_sidePanel)
        all += m_sidePanel->errors();
    if (m_timelineView)
        all += m_timelineView->errors();
    return all;
}

void ZU_Player_qmlpresentation::show_picture(const QString &path, const QString &name)
{
    const QImage image = PreviewPopup::loadPicture(path, 8192);
    if (image.isNull()) {
        logMessage(QStringLiteral("[WARN] ZU_Player_qmlpresentation :: show_picture :: cannot read ") + path);
        return;
    }
    auto *viewer = new AlarmViewer(image, name);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->show();
}
