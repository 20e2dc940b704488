#include "app/WindowMode.h"

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "app/ViewController.h"
#include "core/client/ClientStack.h"
#include "core/display/DeparturesClient.h"
#include "core/service/ServerCheck.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/update/UpdateChecker.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace velmo {

namespace {

// VELMO_REPORT_FIRST_PAINT=1 (for bench/desktop): one stderr line at the first paint of the
// main window and one at the first paint with departures in the list, each with the wall-clock
// time (to compare with the launcher's clock) and the time since runWindow began.
class FirstPaintReporter : public QObject {
public:
    FirstPaintReporter(MainWindow& window, std::chrono::steady_clock::time_point begun)
        : window_(window), begun_(begun) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == &window_) {
            if (!painted_) {
                painted_ = true;
                report("first-paint");
            }
            if (!rows_ && !window_.viewController()->items().empty()) {
                rows_ = true;
                report("first-rows");
                QCoreApplication::instance()->removeEventFilter(this);
            }
        }
        return false;
    }

private:
    void report(const char* what) const {
        const auto wall =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const auto since = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun_).count();
        std::fprintf(stderr, "velmomac: %s wall=%lld.%06lld since-runWindow=%.6f\n", what,
                     static_cast<long long>(wall / 1000000), static_cast<long long>(wall % 1000000), since);
    }

    MainWindow& window_;
    std::chrono::steady_clock::time_point begun_;
    bool painted_ = false;
    bool rows_ = false;
};

}  // namespace

int runWindow(int argc, char** argv, const ConsoleOptions& options) {
    const auto begun = std::chrono::steady_clock::now();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmomac"));
    QApplication::setDesktopFileName(QStringLiteral("velmomac"));
    AppDelegate delegate(app);

    ClientStack stack(ClientOptions{options.position}, std::cout, std::cerr);
    UserDefaults& standard = stack.standardDefaults();
    ServerCheck serverCheck(stack.sessions());  // before the window, which points at it
    MainWindow window(stack.departuresClient(), standard, stack.runLoop());
    window.setServerCheck(&serverCheck);
    FirstPaintReporter firstPaint(window, begun);
    const char* report = std::getenv("VELMO_REPORT_FIRST_PAINT");
    if (report && std::string(report) == "1")
        app.installEventFilter(&firstPaint);
    window.show();

    const Bundle& bundle = stack.bundle();
    UpdateChecker updates(stack.sessions(), bundle.info("CFBundleShortVersionString").value_or("0"),
                          std::atoll(bundle.info("CFBundleVersion").value_or("0").c_str()));
    QPointer<MainWindow> target(&window);
    updates.check(UpdateChecker::feedUrl(standard), [target](const UpdateInfo& info) {
        if (target)
            target->showUpdate(info);
    });
    return QApplication::exec();
}

}  // namespace velmo
