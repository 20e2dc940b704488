#include "widget/TrayController.h"

#include "core/display/DeparturesClient.h"
#include "widget/TodayViewController.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QProcess>
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
    resize(controller_->sizeHint());
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
    connect(open, &QAction::triggered, this, [] { QProcess::startDetached(QStringLiteral("velmomac"), {}); });
    QAction* departures = menu_->addAction(QStringLiteral("Induló járatok"));
    connect(departures, &QAction::triggered, this, &TrayController::togglePopup);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Kilépés"));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);

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

void TrayController::togglePopup() {
    if (popup_->isVisible()) {
        popup_->close();
        return;
    }
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
