// What the installer's custom actions decide, without Windows Installer calls: the settings file
// built from the public properties, the data handed to deferred actions, and which deferred
// actions an installation runs.
#pragma once
#include <stddef.h>

#include "common/settings.h"

// The public properties that fill SentrelSvc.json on a silent install, in the file's key order.
constexpr int settings_property_count = 9;
extern const wchar_t* const settings_property_names[settings_property_count];

enum class SettingsProblem {
    none,
    connection_incomplete,  // some property given, but SERVER_URL or API_KEY missing
    too_long,               // the property's value would not be stored whole (cut or over the file's limit)
    unknown_language,       // LANGUAGE other than zh-CN or en-US
    unknown_auth_mode,      // ADMIN_AUTH_MODE other than totp, push, sms or email
};

struct SettingsFromProperties {
    bool given;               // at least one property has a value: a settings file is to be written
    SettingsProblem problem;
    int property;             // index into settings_property_names of the offending property, or -1
};

// values[i] is the value of settings_property_names[i] (empty when not given). Fills *out with the
// settings to write: LOG_FILE defaults to the default log path, an empty LANGUAGE leaves the
// language to the reader's default. A value is accepted only when the settings writer stores it
// and the reader gives it back unchanged.
SettingsFromProperties settings_from_properties(const wchar_t* const values[settings_property_count], Settings* out);

// One sentence for the installer log and the administrator: what is wrong and how to mend it.
void describe_settings_problem(const SettingsFromProperties& check, wchar_t* out, size_t cch_out);

// Deferred actions get one text: a path, a line feed, then the rest (a file's text, or empty).
bool pack_path_and_text(const wchar_t* path, const wchar_t* text, wchar_t* out, size_t cch_out);
// Splits data in place at its first line feed; false when there is none or the path is empty.
bool split_path_and_text(wchar_t* data, const wchar_t** path, const wchar_t** text);

struct InstallSituation {
    bool removing;                // REMOVE=ALL: the product is being uninstalled
    bool upgrade_removal;         // ...by a newer version's installer (UPGRADINGPRODUCTCODE)
    bool product_installed;       // this version is installed already (repair, reinstall, change)
    bool elevated;                // the installation runs with administrator rights (Privileged)
    bool older_version_found;     // an older version is installed and will be replaced
    bool service_exists;          // a service named SentrelSvc is registered
    bool settings_file_exists;    // SentrelSvc.json is in the installation folder
    bool settings_given;          // the properties ask for a settings file
};

struct InstallPlan {
    bool refuse_foreign_service;  // SentrelSvc exists but no Sentrel package installed it
    bool write_settings;          // SentrelSvc.json is missing and the properties fill it
    bool ignore_properties;       // a maintenance run was given the properties: they change nothing
    bool refuse_unelevated;       // a first installation without administrator rights was given them
    bool check_log_folder;        // the service will write its audit log: its folder must be usable
    bool configure_service;       // display name and failure actions after ServiceInstall
    bool log_uninstall;           // audit log lines and released data files of a real uninstall
};

InstallPlan plan_installation(const InstallSituation& s);
