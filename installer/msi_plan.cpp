#include "installer/msi_plan.h"

#include <initializer_list>

#include "common/text.h"

const wchar_t* const settings_property_names[settings_property_count] = {
    L"SERVER_URL", L"API_KEY", L"MFA_USERNAME", L"ADDRESS", L"COUNTRY_CODE",
    L"CLIENT_IP", L"ADMIN_AUTH_MODE", L"LOG_FILE", L"LANGUAGE"};

namespace {

template <size_t cch>
constexpr size_t cch_of(const wchar_t (&)[cch]) { return cch; }

constexpr int property_server_url = 0, property_api_key = 1, property_admin_auth_mode = 6,
              property_log_file = 7, property_language = 8;

// The settings field that property i fills.
wchar_t* field(Settings* s, int i, size_t* cch) {
    switch (i) {
        case 0: *cch = cch_of(s->server_url); return s->server_url;
        case 1: *cch = cch_of(s->api_key); return s->api_key;
        case 2: *cch = cch_of(s->mfa_username); return s->mfa_username;
        case 3: *cch = cch_of(s->address); return s->address;
        case 4: *cch = cch_of(s->country_code); return s->country_code;
        case 5: *cch = cch_of(s->client_ip); return s->client_ip;
        case 6: *cch = cch_of(s->admin_auth_mode); return s->admin_auth_mode;
        case 7: *cch = cch_of(s->log_file); return s->log_file;
        default: *cch = cch_of(s->language); return s->language;
    }
}

bool same_text(const wchar_t* a, const wchar_t* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Exactly one of the allowed spellings: the programs compare these values as written.
bool one_of(const wchar_t* value, std::initializer_list<const wchar_t*> allowed) {
    for (const wchar_t* a : allowed)
        if (same_text(value, a)) return true;
    return false;
}

SettingsFromProperties problem(SettingsProblem p, int property) { return {true, p, property}; }

}  // namespace

SettingsFromProperties settings_from_properties(const wchar_t* const values[settings_property_count], Settings* out) {
    bool given = false;
    for (int i = 0; i < settings_property_count; ++i) given = given || (values[i] && values[i][0]);
    if (!given) return {false, SettingsProblem::none, -1};
    for (int i : {property_server_url, property_api_key})
        if (!values[i] || !values[i][0]) return problem(SettingsProblem::connection_incomplete, i);

    Settings wanted = {};
    for (int i = 0; i < settings_property_count; ++i) {
        size_t cch = 0;
        wchar_t* target = field(&wanted, i, &cch);
        if (text_copy(target, cch, values[i] ? values[i] : L"") != text_ok) return problem(SettingsProblem::too_long, i);
    }
    if (!wanted.log_file[0]) text_copy(wanted.log_file, default_log_path);
    if (wanted.language[0] && !one_of(wanted.language, {L"zh-CN", L"en-US"}))
        return problem(SettingsProblem::unknown_language, property_language);
    if (wanted.admin_auth_mode[0] && !one_of(wanted.admin_auth_mode, {L"totp", L"push", L"sms", L"email"}))
        return problem(SettingsProblem::unknown_auth_mode, property_admin_auth_mode);

    // The writer cuts an escaped value at its field's capacity, and the reader takes at most a
    // fixed text: a value is accepted only when it comes back whole.
    wchar_t text[settings_write_cch];
    if (!settings_to_text(&wanted, text, cch_of(text))) return problem(SettingsProblem::too_long, -1);
    if (text_length(text, cch_of(text)) >= settings_text_cch) return problem(SettingsProblem::too_long, -1);
    Settings read_back = {};
    settings_from_text(text, &read_back);
    for (int i = 0; i < settings_property_count; ++i) {
        if (i == property_language && !wanted.language[0]) continue;  // the reader fills in its default
        size_t cch_a = 0, cch_b = 0;
        const wchar_t* a = field(&wanted, i, &cch_a);
        const wchar_t* b = field(&read_back, i, &cch_b);
        if (text_length(a, cch_a) != text_length(b, cch_b)) return problem(SettingsProblem::too_long, i);
        for (size_t k = 0; k < cch_a && a[k]; ++k)
            if (a[k] != b[k]) return problem(SettingsProblem::too_long, i);
    }
    *out = wanted;
    return {true, SettingsProblem::none, -1};
}

void describe_settings_problem(const SettingsFromProperties& check, wchar_t* out, size_t cch_out) {
    const wchar_t* name = check.property >= 0 && check.property < settings_property_count
                              ? settings_property_names[check.property]
                              : L"The settings properties";
    switch (check.problem) {
        case SettingsProblem::none:
            text_copy(out, cch_out, L"");
            break;
        case SettingsProblem::connection_incomplete:
            text_format(out, cch_out,
                        L"%s is missing: a settings file needs SERVER_URL and API_KEY together. Give both, or none "
                        L"(the console's setup wizard then asks for them). Nothing was changed.",
                        name);
            break;
        case SettingsProblem::too_long:
            text_format(out, cch_out,
                        L"%s is too long to be stored whole in SentrelSvc.json (see the limits in the administrator "
                        L"guide). Nothing was changed.",
                        name);
            break;
        case SettingsProblem::unknown_language:
            text_copy(out, cch_out, L"LANGUAGE must be zh-CN or en-US. Nothing was changed.");
            break;
        case SettingsProblem::unknown_auth_mode:
            text_copy(out, cch_out, L"ADMIN_AUTH_MODE must be totp, push, sms or email. Nothing was changed.");
            break;
    }
}

bool pack_path_and_text(const wchar_t* path, const wchar_t* text, wchar_t* out, size_t cch_out) {
    if (!path || !path[0]) return false;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\n') return false;
    return text_format(out, cch_out, L"%s\n%s", path, text ? text : L"") == text_ok;
}

bool split_path_and_text(wchar_t* data, const wchar_t** path, const wchar_t** text) {
    if (!data) return false;
    wchar_t* line_feed = data;
    while (*line_feed && *line_feed != L'\n') ++line_feed;
    if (!*line_feed || line_feed == data) return false;
    *line_feed = L'\0';
    *path = data;
    *text = line_feed + 1;
    return true;
}

InstallPlan plan_installation(const InstallSituation& s) {
    InstallPlan plan = {};
    if (s.removing) {
        // A newer version removing this one keeps the service's data and says nothing in the
        // audit log: the product stays installed.
        plan.log_uninstall = !s.upgrade_removal;
        return plan;
    }
    // A service of that name that no Sentrel package installed (e.g. "SentrelSvc.exe install" by
    // hand) guards its own files; taking it over would bypass its MFA-controlled uninstall.
    plan.refuse_foreign_service = s.service_exists && !s.product_installed && !s.older_version_found;
    if (plan.refuse_foreign_service) return plan;
    // SentrelSvc.json decides which server the LocalSystem service trusts and where it writes its
    // log: only a first installation (or an upgrade) run with administrator rights writes it. A
    // repair, reinstall or change never does; whoever started it, the properties are ignored.
    bool maintenance = s.product_installed && !s.older_version_found;
    plan.ignore_properties = maintenance && s.settings_given;
    plan.refuse_unelevated = !maintenance && !s.elevated && s.settings_given;
    if (plan.refuse_unelevated) return plan;
    plan.write_settings = !maintenance && s.settings_given && !s.settings_file_exists;
    plan.check_log_folder = true;
    plan.configure_service = true;
    return plan;
}
