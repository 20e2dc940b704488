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
#include <QMenuBar>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

namespace velmo {

MainWindow::MainWindow(std::unique_ptr<DeparturesClient> client, UserDefaults& standardDefaults, QWidget* parent)
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
    viewController_ = new ViewController(std::move(client), central);
    layout->addWidget(updateLine_);
    layout->addWidget(viewController_, 1);
    setCentralWidget(central);

    QMenu* menu = menuBar()->addMenu(QStringLiteral("&velmomac"));
    QAction* settings = menu->addAction(QStringLiteral("&Beállítások…"));
    settings->setShortcut(QKeySequence::Preferences);
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
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Beállítások"));
    auto* layout = new QVBoxLayout(dialog);
    auto* tabs = new QTabWidget(dialog);
    auto* scroll = new QScrollArea(tabs);
    scroll->setWidgetResizable(true);
    scroll->setWidget(new PreferencesPage(scroll));
    tabs->addTab(scroll, QStringLiteral("Általános"));
    tabs->addTab(new SettingsViewController(standardDefaults_, tabs), QStringLiteral("Frissítések"));
    layout->addWidget(tabs);
    dialog->resize(520, 600);
    dialog->show();
}

}  // namespace velmo
