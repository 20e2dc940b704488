#include "app/MainWindow.h"

#include "app/PreferencesPage.h"
#include "app/SettingsViewController.h"
#include "app/ViewController.h"
#include "core/display/DeparturesClient.h"
#include "platform/update/UpdateChecker.h"

#include <QAction>
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace velmo {

MainWindow::MainWindow(std::unique_ptr<DeparturesClient> client, UserDefaults& standardDefaults, RunLoop& loop,
                       QWidget* parent)
    : QMainWindow(parent), standardDefaults_(standardDefaults) {
    setWindowTitle(QStringLiteral("velmomac – induló járatok"));
    setWindowIcon(QIcon(QStringLiteral(":/app/velmomac.svg")));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    updateLine_ = new QLabel(central);
    updateLine_->setTextFormat(Qt::RichText);
    updateLine_->setOpenExternalLinks(true);
    updateLine_->setContentsMargins(8, 4, 8, 4);
    updateLine_->setAccessibleName(QStringLiteral("Új verzió"));
    updateLine_->hide();
    viewController_ = new ViewController(std::move(client), loop, central);
    layout->addWidget(updateLine_);
    layout->addWidget(viewController_, 1);
    connect(viewController_, &ViewController::serverSettingsRequested, this, &MainWindow::openServerSettings);
    setCentralWidget(central);
    connect(viewController_, &ViewController::statusMessage, this,
            [this](const QString& text) { statusBar()->showMessage(text, 8000); });

    QMenu* menu = menuBar()->addMenu(QStringLiteral("&velmomac"));
    QAction* refresh = menu->addAction(QStringLiteral("&Frissítés"));
    refresh->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)});
    connect(refresh, &QAction::triggered, viewController_, &ViewController::refresh);
    QAction* settings = menu->addAction(QStringLiteral("&Beállítások…"));
    // The desktop's own binding when it has one; Ctrl+, everywhere.
    QList<QKeySequence> preferences{QKeySequence(Qt::CTRL | Qt::Key_Comma)};
    for (const QKeySequence& own : QKeySequence::keyBindings(QKeySequence::Preferences))
        if (!preferences.contains(own))
            preferences << own;
    settings->setShortcuts(preferences);
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("&Kilépés"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    resize(520, 640);
}

void MainWindow::showUpdate(const UpdateInfo& info) {
    QString text =
        QStringLiteral("Elérhető az új verzió: %1").arg(QString::fromStdString(info.version).toHtmlEscaped());
    if (!info.url.empty())
        text += QStringLiteral(" – <a href=\"%1\">letöltés</a>").arg(QString::fromStdString(info.url).toHtmlEscaped());
    updateLine_->setText(text);
    updateLine_->setToolTip(QString::fromStdString(info.notes));
    updateLine_->show();
}

void MainWindow::openSettings() {
    if (settingsDialog_) {
        settingsDialog_->raise();
        settingsDialog_->activateWindow();
        return;
    }
    auto* dialog = new QDialog(this);
    settingsDialog_ = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Beállítások"));
    auto* layout = new QVBoxLayout(dialog);
    auto* tabs = new QTabWidget(dialog);
    auto* scroll = new QScrollArea(tabs);
    scroll->setWidgetResizable(true);
    auto* page = new PreferencesPage(scroll);
    page->setServerCheck(serverCheck_);
    connect(page, &PreferencesPage::settingsChanged, viewController_, &ViewController::settingsChanged);
    scroll->setWidget(page);
    tabs->addTab(scroll, QStringLiteral("Általános"));
    tabs->addTab(new SettingsViewController(standardDefaults_, tabs), QStringLiteral("Frissítések"));
    layout->addWidget(tabs);
    dialog->resize(520, 600);
    dialog->show();
}

void MainWindow::openServerSettings() {
    openSettings();
    auto* tabs = settingsDialog_->findChild<QTabWidget*>();
    auto* page = settingsDialog_->findChild<PreferencesPage*>();
    if (!tabs || !page)
        return;
    tabs->setCurrentIndex(0);
    if (auto* scroll = qobject_cast<QScrollArea*>(tabs->currentWidget()))
        scroll->ensureWidgetVisible(page->productionServerEdit);
    page->productionServerEdit->setFocus(Qt::OtherFocusReason);
}

}  // namespace velmo
