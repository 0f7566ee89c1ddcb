#include "common/permissions.h"

#include "common/settings.h"
#include "common/text.h"

// SY LocalSystem, BA Administrators, WD Everyone, IU interactive users, SU service logons.
// File rights: FA all, FR read, FX execute. Service rights: CC query configuration, LC query
// status, SW enumerate dependents, RP start, WP stop, DT pause and continue, LO interrogate, CR
// user-defined control, RC read control, DC change configuration, SD delete, WD write DAC, WO
// write owner, GA all. Key rights: KA all, KR read.
const GuardRow guard_table[] = {
    // Read and execute for everyone (the programs must start), write for LocalSystem only.
    {Guarded::file, Guard::protect, L"O:BAD:P(A;;FA;;;SY)(A;;FRFX;;;BA)(A;;FRFX;;;WD)"},
    // The folder's inherited entries again: what the installer's folder gives.
    {Guarded::file, Guard::release, L"D:"},
    // Start and stop for administrators; everyone else may only look.
    {Guarded::service, Guard::protect,
     L"O:BAD:P(A;;GA;;;SY)(A;;CCLCSWRPWPDTLOCRRC;;;BA)(A;;CCLCSWLOCRRC;;;WD)"},
    // The service control manager's default for a new service.
    {Guarded::service, Guard::release,
     L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)"
     L"(A;;CCLCSWLOCRRC;;;SU)"},
    // The settings hold the API key: read for administrators, write for LocalSystem; released, both
    // have full access and still nobody else (the folder's Users read must not come back).
    {Guarded::settings_file, Guard::protect, L"O:BAD:P(A;;FA;;;SY)(A;;FR;;;BA)"},
    {Guarded::settings_file, Guard::release, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)"},
    {Guarded::key, Guard::protect, L"O:BAD:P(A;;KA;;;SY)(A;;KR;;;BA)(A;;KR;;;WD)"},
    {Guarded::key, Guard::release, L"D:"},
    // The audit trail: LocalSystem and administrators only, passed on to the log file.
    {Guarded::log_folder, Guard::protect, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
};
const size_t guard_table_rows = sizeof guard_table / sizeof guard_table[0];

Guarded guard_of_file(const wchar_t* path) {
    if (!path) return Guarded::file;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    return text_equal_ascii_nocase(name, settings_file_name) ? Guarded::settings_file : Guarded::file;
}

const wchar_t* guard_sddl(Guarded object, Guard state) {
    for (const GuardRow& row : guard_table) {
        if (row.object == object && row.state == state) return row.sddl;
    }
    return nullptr;
}
