#pragma once
// AppDelegate: the main application's one decision — closing the last window quits.

#include <QObject>

#include <iosfwd>

class QApplication;

namespace velmo {

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QApplication& app);

    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    // Writes the notification's description and a newline to `out`; changes nothing else.
    static void onUbiquitousKeyValueStoreDidChangeExternally(const QString& description, std::ostream& out);
};

}  // namespace velmo
