#include "app/SettingsViewController.h"

#include "platform/defaults/UserDefaults.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

namespace velmo {

SettingsViewController::SettingsViewController(UserDefaults& defaults, QWidget* parent)
    : QWidget(parent), defaults_(defaults) {
    auto* layout = new QVBoxLayout(this);
    allowBetaCheckbox = new QCheckBox(QStringLiteral("Béta verziók fogadása"), this);
    allowBetaCheckbox->setAccessibleName(QStringLiteral("Béta verziók fogadása"));
    auto* note =
        new QLabel(QStringLiteral("A béta verziók előbb kapják meg az újdonságokat, de hibásabbak lehetnek."), this);
    note->setWordWrap(true);
    layout->addWidget(allowBetaCheckbox);
    layout->addWidget(note);
    layout->addStretch(1);
    connect(allowBetaCheckbox, &QCheckBox::clicked, this, &SettingsViewController::allowBetaCheckboxClicked);
    viewDidLoad();
}

void SettingsViewController::viewDidLoad() {
    allowBetaCheckbox->setChecked(defaults_.stringForKey("SUFeedURL").has_value());
}

void SettingsViewController::allowBetaCheckboxClicked() {
    if (allowBetaCheckbox->isChecked())
        defaults_.setObject("SUFeedURL", kBetaUpdateFeed);
    else if (defaults_.objectForKey("SUFeedURL"))
        defaults_.removeObjectForKey("SUFeedURL");
}

}  // namespace velmo
