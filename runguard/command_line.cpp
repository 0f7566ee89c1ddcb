#include "runguard/command_line.h"

#include "common/text.h"

namespace {

bool needs_quotes(const wchar_t* arg) {
    if (arg[0] == L'\0') return true;
    for (const wchar_t* p = arg; *p != L'\0'; ++p) {
        if (*p == L' ' || *p == L'\t' || *p == L'"') return true;
    }
    return false;
}

// Writes the units that land inside out's capacity and counts all of them, so one routine both
// measures (out null, cch_out 0) and writes (after measuring showed that everything fits).
struct BoundedWriter {
    wchar_t* out;
    size_t cch_out;
    size_t cch_written;

    void put(wchar_t unit) {
        if (cch_written < cch_out) out[cch_written] = unit;
        ++cch_written;
    }
    void put_run(wchar_t unit, size_t count) {
        for (size_t i = 0; i < count; ++i) put(unit);
    }
};

void write_quoted_argument(const wchar_t* arg, BoundedWriter* writer) {
    if (!needs_quotes(arg)) {
        for (const wchar_t* p = arg; *p != L'\0'; ++p) writer->put(*p);
        return;
    }
    writer->put(L'"');
    size_t backslashes = 0;
    for (const wchar_t* p = arg; *p != L'\0'; ++p) {
        if (*p == L'\\') {
            ++backslashes;
            continue;
        }
        if (*p == L'"') {
            // n backslashes before a quotation mark: 2n of them, then an escaped quotation mark.
            writer->put_run(L'\\', backslashes * 2 + 1);
        } else {
            writer->put_run(L'\\', backslashes);  // not before a quotation mark: literal
        }
        writer->put(*p);
        backslashes = 0;
    }
    writer->put_run(L'\\', backslashes * 2);  // the closing quotation mark must stay a delimiter
    writer->put(L'"');
}

void write_argument_line(const wchar_t* const* arguments, int count, BoundedWriter* writer) {
    for (int i = 0; i < count; ++i) {
        if (i > 0) writer->put(L' ');
        write_quoted_argument(arguments[i], writer);
    }
}

bool contains_quote(const wchar_t* text) {
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p == L'"') return true;
    }
    return false;
}

}  // namespace

bool parse_run_command(int argc, const wchar_t* const* argv, RunCommand* command) {
    if (argc < 4 || !text_equal_ascii_nocase(argv[1], L"run")) return false;
    int separator = 0;
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] == L'-' && argv[i][1] == L'-' && argv[i][2] == L'\0') {
            separator = i;
            break;
        }
    }
    if (separator == 0 || separator == argc - 1) return false;
    command->executable = argv[separator + 1];
    command->arguments = argv + separator + 2;
    command->argument_count = argc - separator - 2;
    return true;
}

size_t quoted_argument_cch(const wchar_t* arg) {
    BoundedWriter measure = {nullptr, 0, 0};
    write_quoted_argument(arg, &measure);
    return measure.cch_written;
}

bool build_argument_line(const wchar_t* const* arguments, int count, wchar_t* line, size_t cch_line) {
    if (line == nullptr || cch_line == 0 || cch_line > text_max_cch) return false;
    BoundedWriter measure = {nullptr, 0, 0};
    write_argument_line(arguments, count, &measure);
    if (measure.cch_written >= cch_line) return false;
    BoundedWriter writer = {line, cch_line, 0};
    write_argument_line(arguments, count, &writer);
    line[writer.cch_written] = L'\0';
    return true;
}

bool build_command_line(const wchar_t* path, const wchar_t* argument_line, wchar_t* command_line,
                        size_t cch_command_line) {
    if (command_line == nullptr || cch_command_line == 0 || cch_command_line > text_max_cch) return false;
    if (path == nullptr || path[0] == L'\0' || contains_quote(path)) return false;
    size_t cch_path = text_length(path, cch_command_line);
    size_t cch_arguments = argument_line ? text_length(argument_line, cch_command_line) : 0;
    size_t cch_needed = cch_path + 2 + (cch_arguments > 0 ? cch_arguments + 1 : 0);
    if (cch_needed >= cch_command_line) return false;
    TextResult result = cch_arguments > 0
                            ? text_format(command_line, cch_command_line, L"\"%s\" %s", path, argument_line)
                            : text_format(command_line, cch_command_line, L"\"%s\"", path);
    return result == text_ok;
}

bool names_a_path(const wchar_t* name) {
    if (name == nullptr) return false;
    if ((name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0')) return true;
    for (const wchar_t* p = name; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') return true;
    }
    return false;
}

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_absolute_folder(const wchar_t* entry, size_t cch_entry) {
    bool drive = cch_entry >= 3 && ((entry[0] >= L'A' && entry[0] <= L'Z') || (entry[0] >= L'a' && entry[0] <= L'z')) &&
                 entry[1] == L':' && is_separator(entry[2]);
    bool unc = cch_entry >= 3 && is_separator(entry[0]) && is_separator(entry[1]) && !is_separator(entry[2]);
    return drive || unc;
}

}  // namespace

bool next_absolute_folder(const wchar_t** cursor, wchar_t* folder, size_t cch_folder) {
    if (*cursor == nullptr) return false;
    const wchar_t* p = *cursor;
    while (*p != L'\0') {
        const wchar_t* start = p;
        while (*p != L'\0' && *p != L';') ++p;
        const wchar_t* end = p;
        if (*p == L';') ++p;
        while (start < end && (*start == L' ' || *start == L'"')) ++start;
        while (end > start && (end[-1] == L' ' || end[-1] == L'"')) --end;
        size_t cch_entry = static_cast<size_t>(end - start);
        if (!is_absolute_folder(start, cch_entry) || cch_entry >= cch_folder) continue;
        text_copy_n(folder, cch_folder, start, cch_entry);
        *cursor = p;
        return true;
    }
    *cursor = p;
    return false;
}

void printable_reason(const wchar_t* reason, size_t cch_reason, wchar_t* out, size_t cch_out) {
    size_t n = 0;
    for (size_t i = 0; reason != nullptr && i < cch_reason && reason[i] != L'\0' && n + 1 < cch_out; ++i) {
        wchar_t c = reason[i];
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) continue;
        out[n++] = c;
    }
    out[n] = L'\0';
}
