#include "app/AppDelegate.h"

#include <QApplication>

#include <ostream>

namespace velmo {

AppDelegate::AppDelegate(QApplication& app) : QObject(&app) {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
}

void AppDelegate::onUbiquitousKeyValueStoreDidChangeExternally(const QString& description, std::ostream& out) {
    out << description.toStdString() << '\n';
}

}  // namespace velmo
