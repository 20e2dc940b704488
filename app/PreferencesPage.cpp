#include "app/PreferencesPage.h"

#include "core/service/ServerCheck.h"
#include "core/service/ServerConfig.h"
#include "core/service/TarvoReply.h"
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
#include <QPointer>
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
    layout->addWidget(makeAutoRefreshSection());
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

QString PreferencesPage::sectionTitle(const AppSettings& settings, const std::string& key) {
    // The catalogue titles both radii "Megállók távolsága"; this one reaches favourite stops only.
    if (key == "settingFavStopRadius")
        return QStringLiteral("Kedvenc megállók távolsága");
    return qs(settings.getTitleText(key));
}

QComboBox* PreferencesPage::choiceBox(const std::string& key) const {
    const auto found = choiceBoxes_.find(key);
    return found == choiceBoxes_.end() ? nullptr : found->second;
}

QWidget* PreferencesPage::makeChoiceSection(const std::string& key) {
    auto* box = new QGroupBox(sectionTitle(settings_, key), this);
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
    connect(choices, &QComboBox::activated, this, [this, key](int index) {
        settings_.setIndex(key, index);
        emit settingsChanged();
    });
    layout->addWidget(choices);
    if (footer)
        layout->addWidget(footerLabel(qs(*footer), box));
    choiceBoxes_[key] = choices;
    return box;
}

QWidget* PreferencesPage::makeAutoRefreshSection() {
    auto* box = new QGroupBox(qs(settings_.getTitleText("settingAutoRefresh")), this);
    auto* layout = new QVBoxLayout(box);
    autoRefreshBox = new QCheckBox(QStringLiteral("A főablak 30 másodpercenként frissül, amíg látható"), box);
    autoRefreshBox->setAccessibleName(box->title());
    autoRefreshBox->setAccessibleDescription(autoRefreshBox->text());
    autoRefreshBox->setChecked(settings_.get("settingAutoRefresh").value_or(PlistValue(false)).toBool());
    connect(autoRefreshBox, &QCheckBox::clicked, this, [this](bool on) {
        settings_.set("settingAutoRefresh", on);
        emit settingsChanged();
    });
    layout->addWidget(autoRefreshBox);
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
    const QString title = qs(settings_.getTitleText(key));
    auto addLine = [section, layout, &title](const QString& text, const QString& action) {
        auto* line = new QWidget(section);
        auto* lineLayout = new QHBoxLayout(line);
        lineLayout->setContentsMargins(0, 0, 0, 0);
        lineLayout->addWidget(new QLabel(text, line), 1);
        auto* button = new QPushButton(action, line);
        // Never the dialog's default: Enter in a text field must not remove a favourite.
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setAccessibleDescription(title);
        lineLayout->addWidget(button);
        layout->addWidget(line);
        return button;
    };
    for (size_t index = 0; index < rows.size(); ++index) {
        const auto text = rows[index].find("text");
        const auto value = rows[index].find("value");
        const std::string display = text == rows[index].end() ? std::string() : text->second.toString().value_or("");
        const std::string raw = value == rows[index].end() ? std::string() : value->second.toString().value_or("");
        QPushButton* remove = addLine(qs(display), QStringLiteral("Törlés"));
        remove->setAccessibleName(QStringLiteral("Törlés: %1").arg(qs(display)));
        connect(remove, &QPushButton::clicked, this, [this, key, index, raw, display] {
            // By identifier where there is one: the other program may have changed the list.
            if (raw.empty()) {
                settings_.delStringListByIndex(key, static_cast<int64_t>(index));
                removed_.erase(key);
            } else {
                settings_.delStringList(key, raw);
                removed_[key] = Removed{raw, display};
            }
            fillFavouriteSection(key);
            emit settingsChanged();
        });
    }
    const auto removed = removed_.find(key);
    if (removed != removed_.end()) {
        const QString name = qs(removed->second.display.empty() ? removed->second.raw : removed->second.display);
        QPushButton* undo = addLine(QStringLiteral("„%1” törölve.").arg(name), QStringLiteral("Visszavonás"));
        undo->setAccessibleName(QStringLiteral("Visszavonás: %1").arg(name));
        connect(undo, &QPushButton::clicked, this, [this, key] {
            const Removed entry = removed_.at(key);
            removed_.erase(key);
            settings_.setStringList(key, entry.raw, entry.display);
            fillFavouriteSection(key);
            emit settingsChanged();
        });
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
    const auto before = std::pair(shared.stringForKey(kLocationFixedKey), shared.stringForKey(kLocationSourceKey));
    if (position.isEmpty())
        shared.removeObjectForKey(kLocationFixedKey);
    else
        shared.setObject(kLocationFixedKey, position.toStdString());
    shared.setObject(kLocationSourceKey, source.toStdString());
    // Leaving the field unchanged stores the same values again: that is no change.
    if (before != std::pair(shared.stringForKey(kLocationFixedKey), shared.stringForKey(kLocationSourceKey)))
        emit settingsChanged();
}

QWidget* PreferencesPage::makeServerSection() {
    auto* box = new QGroupBox(QStringLiteral("Szerver"), this);
    auto* form = new QFormLayout(box);
    developmentServerBox = new QCheckBox(QStringLiteral("Helyi fejlesztői szerver használata"), box);
    developmentServerBox->setAccessibleName(developmentServerBox->text());
    developmentServerBox->setChecked(settings_.get("useDevelopmentServer").value_or(PlistValue()).toInteger() == 1);
    connect(developmentServerBox, &QCheckBox::clicked, this, [this](bool on) {
        settings_.set("useDevelopmentServer", int64_t{on ? 1 : 0});
        emit settingsChanged();
    });

    std::ostringstream ignored;
    productionServerEdit = new QLineEdit(qs(loadServerBases(ignored).production), box);
    productionServerEdit->setAccessibleName(QStringLiteral("Éles szerver címe"));
    productionServerEdit->setPlaceholderText(QStringLiteral("https://kiszolgáló/v2/"));
    serverMessage = new QLabel(box);
    connect(productionServerEdit, &QLineEdit::editingFinished, this, [this] {
        std::string error;
        std::ostringstream quiet;
        const std::string before = loadServerBases(quiet).production;
        if (before.empty() && productionServerEdit->text().trimmed().isEmpty()) {
            serverMessage->clear();  // none set, none given: nothing to store
            return;
        }
        if (!storeProductionServer(productionServerEdit->text().trimmed().toStdString(), error)) {
            serverMessage->setText(qs(error));
            return;
        }
        serverMessage->clear();
        if (loadServerBases(quiet).production != before)
            emit settingsChanged();
    });
    form->addRow(developmentServerBox);
    form->addRow(QStringLiteral("Éles szerver:"), productionServerEdit);
    form->addRow(QString(), serverMessage);

    checkServerButton = new QPushButton(QStringLiteral("Kapcsolat ellenőrzése"), box);
    checkServerButton->setAutoDefault(false);
    checkServerButton->setEnabled(false);  // until there is something to ask through
    serverCheckLine = new QLabel(box);
    serverCheckLine->setWordWrap(true);
    serverCheckLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(checkServerButton, &QPushButton::clicked, this, &PreferencesPage::checkServer);
    form->addRow(checkServerButton);
    form->addRow(serverCheckLine);
    return box;
}

void PreferencesPage::setServerCheck(ServerCheck* check) {
    serverCheck_ = check;
    // A check begun from an earlier page may still run: pressing then starts nothing.
    checkServerButton->setEnabled(check != nullptr);
}

void PreferencesPage::checkServer() {
    if (serverCheck_ == nullptr || serverCheck_->running())
        return;
    // The server a query would ask now, under the same certificate rules.
    std::ostringstream quiet;
    const ServerBases bases = loadServerBases(quiet);
    const std::optional<PlistValue> choice = settings_.get("useDevelopmentServer");
    const std::optional<int64_t> chosen = choice ? std::optional(choice->toInteger()) : std::nullopt;
    const std::string base = chosenServerBase(bases, chosen);
    if (base.empty()) {
        serverCheckLine->setText(qs(errorMessageForCode(kNoServer)));
        return;
    }
    const std::optional<std::string> extraCertificate =
        chosen == 1 ? std::optional(bases.localCertificate) : std::nullopt;
    QPointer<PreferencesPage> self(this);
    const bool started = serverCheck_->start(base, extraCertificate, [self](ServerCheckResult result) {
        if (!self)
            return;
        self->checkServerButton->setEnabled(true);
        self->serverCheckLine->setText(qs(describeServerCheck(result)));
    });
    if (started) {
        checkServerButton->setEnabled(false);
        serverCheckLine->setText(QStringLiteral("Ellenőrzés: %1…").arg(qs(base)));
    }
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
