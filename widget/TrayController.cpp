#include "widget/TrayController.h"

#include "core/display/DeparturesClient.h"
#include "widget/TodayViewController.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <ostream>

namespace velmo {

TodayPopup::TodayPopup(std::unique_ptr<DeparturesClient> client, bool asPopup)
    : QWidget(nullptr, asPopup ? Qt::Popup : Qt::Window) {
    setWindowTitle(QStringLiteral("velmomac – induló járatok"));
    setWindowIcon(QIcon(QStringLiteral(":/app/velmomactoday.svg")));
    setAccessibleName(QStringLiteral("Induló járatok"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    controller_ = new TodayViewController(std::move(client), this);
    layout->addWidget(controller_);
    connect(controller_, &TodayViewController::contentWidthChanged, this, &TodayPopup::fitToContent);
    fitToContent();
}

void TodayPopup::fitToContent() {
    const QMargins margins = layout()->contentsMargins();
    const QSize wanted = controller_->sizeHint().grownBy(margins);
    if (wanted == size())
        return;
    const QRect before = geometry();
    resize(wanted);
    if (!isVisible())
        return;
    QPoint at(before.right() + 1 - wanted.width(), before.top());
    if (const QScreen* shown = screen()) {
        const QRect area = shown->availableGeometry();
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - wanted.width())));
    }
    move(at);
}

void TodayPopup::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TodayPopup::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit closed();
}

TrayController::TrayController(std::unique_ptr<DeparturesClient> client, bool trayAvailable, std::ostream& err)
    : menu_(std::make_unique<QMenu>()), popup_(std::make_unique<TodayPopup>(std::move(client), trayAvailable)) {
    QAction* open = menu_->addAction(QStringLiteral("velmomac megnyitása"));
    connect(open, &QAction::triggered, this, &TrayController::openMainProgram);
    QAction* departures = menu_->addAction(QStringLiteral("Induló járatok"));
    connect(departures, &QAction::triggered, this, &TrayController::togglePopup);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Kilépés"));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);

    ownDir_ = QCoreApplication::applicationDirPath();
    connect(this, &TrayController::notice, this, [this](const QString& text) {
        if (icon_)
            icon_->showMessage(QStringLiteral("velmomac"), text, QSystemTrayIcon::Warning);
        else
            QMessageBox::warning(popup_.get(), QStringLiteral("velmomac"), text);
    });

    if (trayAvailable) {
        icon_ = new QSystemTrayIcon(QIcon(QStringLiteral(":/app/velmomactoday.svg")), this);
        icon_->setToolTip(QStringLiteral("Induló járatok a közeledben"));
        icon_->setContextMenu(menu_.get());
        connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                togglePopup();
        });
        icon_->show();
    } else {
        err << "velmomactoday: nincs értesítési terület (system tray), a járatok ablakban jelennek meg\n";
        popup_->show();
    }
}

TrayController::~TrayController() = default;

QString findMainProgram(const QString& ownDir, const QString& path) {
    auto runnable = [](const QString& file) {
        const QFileInfo info(file);
        return info.isFile() && info.isExecutable();
    };
    const QString name = QStringLiteral("velmomac");
    if (!ownDir.isEmpty() && runnable(QDir(ownDir).filePath(name)))
        return QDir(ownDir).filePath(name);
    for (const QString& folder : path.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (runnable(QDir(folder).filePath(name)))
            return QDir(folder).filePath(name);
    return {};
}

void TrayController::openMainProgram() {
    const QString program =
        findMainProgram(ownDir_, QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH")));
    if (program.isEmpty()) {
        emit notice(QStringLiteral("A velmomac nem található: sem a velmomactoday mappájában (%1), sem a PATH "
                                   "mappáiban nincs ilyen program.")
                        .arg(QDir::toNativeSeparators(ownDir_)));
        return;
    }
    if (!QProcess::startDetached(program, {}))
        emit notice(QStringLiteral("A velmomac nem indítható el (%1).").arg(QDir::toNativeSeparators(program)));
}

void TrayController::togglePopup() {
    if (popup_->isVisible()) {
        popup_->close();
        return;
    }
    popup_->fitToContent();
    placePopup();
    popup_->show();
    popup_->raise();
    popup_->activateWindow();
    popup_->controller()->tarvoTableView->setFocus();
}

void TrayController::placePopup() {
    if (!icon_)
        return;
    const QRect anchor = icon_->geometry();
    QScreen* screen = anchor.isValid() ? QGuiApplication::screenAt(anchor.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = popup_->size();
    QPoint at = anchor.isValid() ? QPoint(anchor.right() - size.width(), anchor.bottom() + 4)
                                 : QPoint(area.right() - size.width(), area.top());
    if (anchor.isValid() && at.y() + size.height() > area.bottom())
        at.setY(anchor.top() - size.height() - 4);
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
    popup_->move(at);
}

}  // namespace velmo
