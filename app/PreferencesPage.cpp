#include "app/PreferencesPage.h"

#include "core/service/ServerConfig.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/LocationSource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QVBoxLayout>

#include <filesystem>
#include <sstream>

namespace velmo {

const std::vector<std::string> PreferencesPage::kChoiceKeys{
    "settingRadius", "settingMinutes", "settingFavTrip", "settingFavStopRadius", "settingTodayStops", "settingTodayNum",
};

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QLabel* footerLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 9pt;"));
    return label;
}

}  // namespace

PreferencesPage::PreferencesPage(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    for (const std::string& key : kChoiceKeys)
        layout->addWidget(makeChoiceSection(key));
    for (const std::string key : {"settingFavStopList", "settingFavTripList"}) {
        auto* box = new QGroupBox(qs(settings_.getTitleText(key)), this);
        box->setAccessibleName(box->title());
        new QVBoxLayout(box);
        favouriteSections[key] = box;
        layout->addWidget(box);
    }
    reloadFavourites();
    layout->addWidget(makeLocationSection());
    layout->addWidget(makeServerSection());
    layout->addStretch(1);
}

QComboBox* PreferencesPage::choiceBox(const std::string& key) const {
    const auto found = choiceBoxes_.find(key);
    return found == choiceBoxes_.end() ? nullptr : found->second;
}

QWidget* PreferencesPage::makeChoiceSection(const std::string& key) {
    auto* box = new QGroupBox(qs(settings_.getTitleText(key)), this);
    auto* layout = new QVBoxLayout(box);
    auto* choices = new QComboBox(box);
    const auto rows = settings_.getSettingsForTableView(key);
    for (const PlistMap& row : rows) {
        const auto text = row.find("text");
        choices->addItem(text == row.end() ? QString() : qs(text->second.toString().value_or("")));
        const auto selected = row.find("selected");
        if (selected != row.end() && selected->second.toBool())
            choices->setCurrentIndex(choices->count() - 1);
    }
    if (settings_.getSelectedIndex(key) < 0)
        choices->setCurrentIndex(-1);
    const auto footer = settings_.getFooterForKey(key);
    choices->setAccessibleName(box->title());
    if (footer)
        choices->setAccessibleDescription(qs(*footer));
    connect(choices, &QComboBox::activated, this, [this, key](int index) { settings_.setIndex(key, index); });
    layout->addWidget(choices);
    if (footer)
        layout->addWidget(footerLabel(qs(*footer), box));
    choiceBoxes_[key] = choices;
    return box;
}

void PreferencesPage::reloadFavourites() {
    for (const auto& [key, section] : favouriteSections)
        fillFavouriteSection(key);
}

void PreferencesPage::fillFavouriteSection(const std::string& key) {
    QWidget* section = favouriteSections.at(key);
    auto* layout = static_cast<QVBoxLayout*>(section->layout());
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget())
            widget->deleteLater();
        delete item;
    }
    const auto rows = settings_.getSettingsForTableView(key);
    if (rows.empty())
        layout->addWidget(footerLabel(QStringLiteral("Nincs még kedvenced. Egy induló járatra jobb gombbal "
                                                     "kattintva jelölheted meg."),
                                      section));
    for (size_t index = 0; index < rows.size(); ++index) {
        const auto text = rows[index].find("text");
        const QString label = text == rows[index].end() ? QString() : qs(text->second.toString().value_or(""));
        auto* line = new QWidget(section);
        auto* lineLayout = new QHBoxLayout(line);
        lineLayout->setContentsMargins(0, 0, 0, 0);
        lineLayout->addWidget(new QLabel(label, line), 1);
        auto* remove = new QPushButton(QStringLiteral("Törlés"), line);
        remove->setAccessibleName(QStringLiteral("Törlés: %1").arg(label));
        // The row's identifier, not its position: another program may have changed the list
        // since it was shown. Only an entry without an identifier goes by its position.
        const auto value = rows[index].find("value");
        const std::optional<std::string> raw = value == rows[index].end() ? std::nullopt : value->second.toString();
        connect(remove, &QPushButton::clicked, this, [this, key, index, raw] {
            if (raw)
                settings_.delStringList(key, *raw);
            else
                settings_.delStringListByIndex(key, static_cast<int64_t>(index));
            fillFavouriteSection(key);
        });
        lineLayout->addWidget(remove);
        layout->addWidget(line);
    }
}

QWidget* PreferencesPage::makeLocationSection() {
    auto* box = new QGroupBox(QStringLiteral("Helymeghatározás"), this);
    auto* form = new QFormLayout(box);
    const UserDefaults shared(AppSettings::kAppGroup);
    const std::string source = shared.stringForKey(kLocationSourceKey).value_or("system");

    locationSourceBox = new QComboBox(box);
    locationSourceBox->setAccessibleName(QStringLiteral("Hely forrása"));
    locationSourceBox->addItem(QStringLiteral("A rendszer helymeghatározása"), QStringLiteral("system"));
    locationSourceBox->addItem(QStringLiteral("Rögzített pozíció"), QStringLiteral("fixed"));
    if (source != "system" && source != "fixed")  // e.g. an NMEA log set elsewhere: keep it choosable
        locationSourceBox->addItem(qs(source), qs(source));
    locationSourceBox->setCurrentIndex(std::max(0, locationSourceBox->findData(qs(source))));

    fixedPositionEdit = new QLineEdit(qs(shared.stringForKey(kLocationFixedKey).value_or("")), box);
    fixedPositionEdit->setPlaceholderText(QStringLiteral("47.4979,19.0402,25"));
    fixedPositionEdit->setAccessibleName(QStringLiteral("Rögzített pozíció (szélesség,hosszúság[,pontosság])"));
    locationMessage = new QLabel(box);

    form->addRow(QStringLiteral("Forrás:"), locationSourceBox);
    form->addRow(QStringLiteral("Pozíció:"), fixedPositionEdit);
    form->addRow(QString(), locationMessage);
    form->addRow(QString(), footerLabel(QStringLiteral("A rögzített pozíciót akkor is használjuk, ha a rendszernek "
                                                       "nincs helymeghatározása."),
                                        box));
    connect(locationSourceBox, &QComboBox::activated, this, [this] { storeLocation(); });
    connect(fixedPositionEdit, &QLineEdit::editingFinished, this, [this] { storeLocation(); });
    return box;
}

void PreferencesPage::storeLocation() {
    UserDefaults shared(AppSettings::kAppGroup);
    const QString position = fixedPositionEdit->text().trimmed();
    const QString source = locationSourceBox->currentData().toString();
    if (!position.isEmpty() && !parseFixedPosition(position.toStdString())) {
        locationMessage->setText(QStringLiteral("Érvénytelen pozíció: szélesség,hosszúság[,pontosság] kell."));
        return;
    }
    if (source == QStringLiteral("fixed") && position.isEmpty()) {
        locationMessage->setText(QStringLiteral("Rögzített pozícióhoz add meg a pozíciót."));
        return;
    }
    locationMessage->clear();
    if (position.isEmpty())
        shared.removeObjectForKey(kLocationFixedKey);
    else
        shared.setObject(kLocationFixedKey, position.toStdString());
    shared.setObject(kLocationSourceKey, source.toStdString());
}

QWidget* PreferencesPage::makeServerSection() {
    auto* box = new QGroupBox(QStringLiteral("Szerver"), this);
    auto* form = new QFormLayout(box);
    developmentServerBox = new QCheckBox(QStringLiteral("Helyi fejlesztői szerver használata"), box);
    developmentServerBox->setAccessibleName(developmentServerBox->text());
    developmentServerBox->setChecked(settings_.get("useDevelopmentServer").value_or(PlistValue()).toInteger() == 1);
    connect(developmentServerBox, &QCheckBox::clicked, this,
            [this](bool on) { settings_.set("useDevelopmentServer", int64_t{on ? 1 : 0}); });

    std::ostringstream ignored;
    productionServerEdit = new QLineEdit(qs(loadServerBases(ignored).production), box);
    productionServerEdit->setAccessibleName(QStringLiteral("Éles szerver címe"));
    serverMessage = new QLabel(box);
    connect(productionServerEdit, &QLineEdit::editingFinished, this, [this] {
        std::string error;
        if (storeProductionServer(productionServerEdit->text().trimmed().toStdString(), error))
            serverMessage->clear();
        else
            serverMessage->setText(qs(error));
    });
    form->addRow(developmentServerBox);
    form->addRow(QStringLiteral("Éles szerver:"), productionServerEdit);
    form->addRow(QString(), serverMessage);
    return box;
}

bool PreferencesPage::storeProductionServer(const std::string& base, std::string& error) {
    if (!isValidServerBase(base)) {
        error = "Érvénytelen cím: https://…/v2/ alakú kell.";
        return false;
    }
    const QString path = QString::fromStdString(serverConfigPath());
    QStringList lines;
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly | QIODevice::Text))
        lines = QString::fromUtf8(existing.readAll()).split(QLatin1Char('\n'));
    existing.close();
    while (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    const QString entry = QStringLiteral("production = %1").arg(qs(base));
    static const QRegularExpression productionLine(QStringLiteral("^\\s*production\\s*="));
    bool replaced = false;
    for (QString& line : lines)
        if (productionLine.match(line).hasMatch()) {
            line = entry;
            replaced = true;
        }
    if (!replaced)
        lines << entry;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path.toStdString()).parent_path(), ignored);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = "A servers.conf nem írható.";
        return false;
    }
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    if (!file.commit()) {
        error = "A servers.conf nem írható.";
        return false;
    }
    return true;
}

}  // namespace velmo
