#include "app/WindowMode.h"

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "core/display/TarvoDeparturesClient.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/QtUrlSession.h"
#include "platform/update/UpdateChecker.h"

#include <QApplication>
#include <QPointer>

#include <cstdlib>
#include <iostream>

namespace velmo {

int runWindow(int argc, char** argv, const std::vector<std::string>& arguments)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmomac"));
    QApplication::setDesktopFileName(QStringLiteral("velmomac"));
    AppDelegate delegate(app);

    UserDefaults& standard = UserDefaults::standard();
    MainWindow window(std::make_unique<TarvoDeparturesClient>(arguments, std::cerr), standard);
    window.show();

    QtUrlSessionFactory sessions;
    const Bundle& bundle = Bundle::main();
    UpdateChecker updates(sessions, bundle.info("CFBundleShortVersionString").value_or("0"),
                          std::atoll(bundle.info("CFBundleVersion").value_or("0").c_str()));
    QPointer<MainWindow> target(&window);
    updates.check(UpdateChecker::feedUrl(standard), [target](const UpdateInfo& info) {
        if (target)
            target->showUpdate(info);
    });
    return QApplication::exec();
}

} // namespace velmo
