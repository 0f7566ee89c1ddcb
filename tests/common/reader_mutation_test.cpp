// Mutation campaign of the Win32 file readers (read_utf8_file, load_settings, load_policy) and
// writers (save_settings, save_policy, append_rule), under Wine with the real file calls and code
// page conversions. Seeds: tests/fuzz/corpus/settings and /policy. Each mutated file is read into
// outputs that end right before a PAGE_NOACCESS page (one unit too many faults at once), then
// written back through the writers: whatever a writer accepts reads back to the same values or
// rules; what it refuses leaves the previous file whole.
//
// SENTREL_READER_MUTATIONS files (default: the quick size below, seconds), seeded by
// SENTREL_READER_SEED, written in SENTREL_READER_DIR (an existing folder) or %TEMP%; the full
// campaign is tools/reader_mutation/run_campaign.py.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/policy.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/guard_page.h"
#include "tests/support/test_files.h"

namespace {

constexpr int quick_mutations = 600;
constexpr uint32_t default_seed = 24025;

struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    size_t below(size_t n) { return n ? next() % n : 0; }
};

unsigned long env_number(const wchar_t* name, unsigned long fallback) {
    wchar_t value[32];
    DWORD cch = GetEnvironmentVariableW(name, value, 32);
    if (cch == 0 || cch >= 32) return fallback;
    return wcstoul(value, nullptr, 10);
}

std::vector<std::string> seeds_of(const char* kind) {
    std::vector<std::string> seeds;
    std::wstring folder = L"Z:" + std::wstring(SENTREL_CORPUS_DIR, SENTREL_CORPUS_DIR + strlen(SENTREL_CORPUS_DIR)) +
                          L"\\" + std::wstring(kind, kind + strlen(kind));
    for (wchar_t& c : folder) c = c == L'/' ? L'\\' : c;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return seeds;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            seeds.push_back(read_file_bytes(folder + L"\\" + found.cFileName));
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return seeds;
}

// --- the mutator ---

enum Mutation {
    m_truncate, m_flip, m_huge_value, m_huge_number, m_drop_quote, m_nested, m_bom, m_invalid_utf8, m_nul,
    m_many_rules, m_splice, m_escape, m_oversize, mutation_count
};
const char* const mutation_names[mutation_count] = {"truncate", "flip", "huge_value", "huge_number", "drop_quote",
                                                    "nested", "bom", "invalid_utf8", "nul", "many_rules", "splice",
                                                    "escape", "oversize"};

size_t find_quote(const std::string& s, Random& r) {
    size_t from = r.below(s.size() + 1);
    size_t at = s.find('"', from);
    return at != std::string::npos ? at : s.find('"');
}

void mutate(std::string& s, int kind, Random& r, const std::vector<std::string>& seeds) {
    static const char* const invalid[] = {"\xC0\x80", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF8\x88\x80\x80\x80", "\xFF",
                                          "\x80",     "\xE2\x82",     "\xF0\x9F\x98", "\xF4\x90\x80\x80",     "\xC3"};
    static const char* const escapes[] = {"\\", "\\\"", "\\u", "\\uD800", "\\uDC00\\uD800", "\\n\\r\\t", "\\\\\"",
                                          "\\x", "\\u0000", "\\/"};
    static const char* const words[] = {"true", "false", "null", "-1", "0", "4294967296", "\"program\"",
                                        "\"command\"", "\"rules\"", "\"type\"", ":", ",", "}", "]"};
    size_t at = r.below(s.size() + 1);
    switch (kind) {
    case m_truncate:
        s.resize(at);
        break;
    case m_flip:
        for (size_t n = 1 + r.below(8); n > 0 && !s.empty(); --n) s[r.below(s.size())] ^= static_cast<char>(1u << r.below(8));
        break;
    case m_huge_value: {
        size_t quote = find_quote(s, r);
        if (quote == std::string::npos) quote = at;
        static const size_t lengths[] = {127, 128, 255, 256, 511, 1023, 1024, 4095, 4096, 8192, 65534, 70000};
        s.insert(quote == s.size() ? quote : quote + 1, std::string(lengths[r.below(12)], static_cast<char>('a' + r.below(26))));
        break;
    }
    case m_huge_number: {
        static const char* const numbers[] = {"99999999999999999999", "-2147483649", "2147483648", "4294967295",
                                              "1e308", "00000000000000000000000000000001", "-0", "0x7fffffff"};
        size_t colon = s.find(':', at);
        if (colon == std::string::npos) colon = at == 0 ? 0 : at - 1;
        s.insert(colon < s.size() ? colon + 1 : s.size(), numbers[r.below(8)]);
        break;
    }
    case m_drop_quote: {
        size_t quote = find_quote(s, r);
        if (quote != std::string::npos) s.erase(quote, 1);
        break;
    }
    case m_nested: {
        size_t depth = 1 + r.below(2000);
        bool braces = r.below(2) == 0;
        std::string open(depth, braces ? '{' : '['), close(r.below(2) ? depth : r.below(depth + 1), braces ? '}' : ']');
        s.insert(at, open + close);
        break;
    }
    case m_bom: {
        static const char* const boms[] = {"\xEF\xBB\xBF", "\xEF\xBB\xBF\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB"};
        if (r.below(3) == 0 && s.compare(0, 3, "\xEF\xBB\xBF") == 0)
            s.erase(0, 3);
        else
            s.insert(r.below(4) == 0 ? at : 0, boms[r.below(5)]);
        break;
    }
    case m_invalid_utf8:
        s.insert(at, invalid[r.below(10)]);
        break;
    case m_nul:
        s.insert(at, 1 + r.below(3), '\0');
        break;
    case m_many_rules: {
        // A rule object of the text (or a plain one) repeated past the policy's 64.
        size_t open = s.find('{', s.find('[') == std::string::npos ? 0 : s.find('['));
        size_t close = open == std::string::npos ? std::string::npos : s.find('}', open);
        std::string rule = close != std::string::npos
                               ? s.substr(open, close - open + 1)
                               : "{ \"type\": \"command\", \"display_name\": \"r\", \"match_name\": \"r.exe\" }";
        std::string many;
        for (size_t n = 60 + r.below(80); n > 0; --n) many += rule + ",";
        size_t bracket = s.find('[');
        if (bracket == std::string::npos) {
            s = "{ \"rules\": [" + many + "] }";
        } else {
            s.insert(bracket + 1, many);
        }
        break;
    }
    case m_splice: {
        const std::string& other = seeds[r.below(seeds.size())];
        size_t from = r.below(other.size() + 1);
        s.insert(at, other.substr(from, r.below(other.size() - from + 1)));
        break;
    }
    case m_escape:
        s.insert(at, r.below(2) ? escapes[r.below(10)] : words[r.below(14)]);
        break;
    case m_oversize:
        // Past the 65,535 bytes the reader takes, the cut falling anywhere (inside a sequence too).
        while (s.size() < file_read_max_cb + 1 + r.below(4)) s += r.below(3) ? "\xE4\xB8\xAD" : " \"x\": \"y\",";
        break;
    }
}

// --- the properties ---

// Fills a guarded output with a pattern, so that an untouched one can be told.
constexpr wchar_t pattern_unit = 0xA5A5;
void fill(wchar_t* out, size_t cch) {
    for (size_t i = 0; i < cch; ++i) out[i] = pattern_unit;
}
bool untouched(const wchar_t* out, size_t cch) {
    for (size_t i = 0; i < cch; ++i)
        if (out[i] != pattern_unit) return false;
    return true;
}

template <size_t N>
bool terminated(const wchar_t (&field)[N]) {
    return wmemchr(field, L'\0', N) != nullptr;
}

bool settings_terminated(const Settings& s) {
    return terminated(s.server_url) && terminated(s.api_key) && terminated(s.mfa_username) && terminated(s.address) &&
           terminated(s.country_code) && terminated(s.client_ip) && terminated(s.admin_auth_mode) &&
           terminated(s.log_file) && terminated(s.language) && terminated(s.allow_plain_http);
}

// The length a value takes in the file: \\ \" \n \r are written with a backslash before them.
size_t escaped_length(const wchar_t* v) {
    size_t n = 0;
    for (; *v; ++v) n += (*v == L'\\' || *v == L'"' || *v == L'\n' || *v == L'\r') ? 2 : 1;
    return n;
}

enum class ReadBack { same, cut, different };

// A value read back from what save_settings wrote: the same, or cut as the writer documents (an
// escaped value that does not fit the file format's capacity ends early: a prefix comes back).
ReadBack value_read_back(const wchar_t* written, const wchar_t* back, size_t cch_escaped) {
    if (!wcscmp(written, back)) return ReadBack::same;
    size_t n = wcslen(back);
    if (escaped_length(written) + 3 > cch_escaped && n < wcslen(written) && !wcsncmp(written, back, n))
        return ReadBack::cut;
    return ReadBack::different;
}

// The writer's escaped capacities, field by field (settings_to_text).
ReadBack settings_read_back(const Settings& a, const Settings& b) {
    const struct {
        const wchar_t *x, *y;
        size_t cch;
    } fields[] = {{a.server_url, b.server_url, 256},       {a.api_key, b.api_key, 256},
                  {a.mfa_username, b.mfa_username, 128},   {a.address, b.address, 512},
                  {a.country_code, b.country_code, 64},    {a.client_ip, b.client_ip, 64},
                  {a.admin_auth_mode, b.admin_auth_mode, 64}, {a.log_file, b.log_file, 1024},
                  {a.language, b.language, 16},            {a.allow_plain_http, b.allow_plain_http, 16}};
    ReadBack result = ReadBack::same;
    for (const auto& field : fields) {
        ReadBack one = value_read_back(field.x, field.y, field.cch);
        if (one == ReadBack::different) return one;
        if (one == ReadBack::cut) result = one;
    }
    return result;
}

bool rule_well_formed(const Rule& r) {
    return (r.type == rule_type_program || r.type == rule_type_command) && terminated(r.display_name) &&
           terminated(r.match_path) && terminated(r.match_name) && terminated(r.args_contains) &&
           terminated(r.match_original_name) && terminated(r.match_sha256) && terminated(r.auth_mode);
}

bool same_rule(const Rule& a, const Rule& b) {
    return a.type == b.type && a.enabled == b.enabled && a.cache_window_seconds == b.cache_window_seconds &&
           !wcscmp(a.display_name, b.display_name) && !wcscmp(a.match_path, b.match_path) &&
           !wcscmp(a.match_name, b.match_name) && !wcscmp(a.args_contains, b.args_contains) &&
           !wcscmp(a.match_original_name, b.match_original_name) && !wcscmp(a.match_sha256, b.match_sha256) &&
           !wcscmp(a.auth_mode, b.auth_mode);
}

bool policy_well_formed(const Policy& p) {
    if (p.count > policy_max_rules) return false;
    static const Rule free_slot = {};
    for (uint32_t i = 0; i < policy_max_rules; ++i) {
        if (i < p.count ? !rule_well_formed(p.rules[i]) : memcmp(&p.rules[i], &free_slot, sizeof free_slot) != 0)
            return false;
    }
    return true;
}

struct Figures {
    unsigned long files = 0, bytes = 0, by_mutation[mutation_count] = {};
    unsigned long text_read = 0, text_refused = 0, settings_read = 0, policy_read = 0, rules_read = 0, max_rules = 0;
    unsigned long settings_saved = 0, settings_cut = 0, settings_refused = 0, policy_saved = 0, policy_refused = 0;
    unsigned long rules_appended = 0, append_refused = 0;
    unsigned long faults = 0;
};

}  // namespace

TEST(ReaderMutation, MutatedFilesStayInsideGuardedOutputsAndWhatTheWritersTakeReadsBack) {
    const unsigned long count = env_number(L"SENTREL_READER_MUTATIONS", quick_mutations);
    Random r = {0x9E3779B97F4A7C15ull ^ env_number(L"SENTREL_READER_SEED", default_seed)};
    const std::vector<std::string> settings_seeds = seeds_of("settings");
    const std::vector<std::string> policy_seeds = seeds_of("policy");
    ASSERT_GE(settings_seeds.size(), 3u) << "the settings seeds were not found under " << SENTREL_CORPUS_DIR;
    ASSERT_GE(policy_seeds.size(), 3u) << "the policy seeds were not found under " << SENTREL_CORPUS_DIR;
    std::vector<std::string> all_seeds = settings_seeds;
    all_seeds.insert(all_seeds.end(), policy_seeds.begin(), policy_seeds.end());

    // The files go to %TEMP%, or to SENTREL_READER_DIR when set (the full campaign puts them on a
    // memory file system: the writers flush every file to the disk, which would take most of the time).
    TempFolder tmp;
    wchar_t dir[MAX_PATH];
    DWORD cch_dir = GetEnvironmentVariableW(L"SENTREL_READER_DIR", dir, MAX_PATH);
    std::wstring folder = cch_dir > 0 && cch_dir < MAX_PATH ? std::wstring(dir) : std::wstring(tmp.path);
    const std::wstring mutated = folder + L"\\mutated.json", written = folder + L"\\written.json";
    // Outputs that end at a guard page: the text one taken from its end for each capacity tried.
    GuardedBuffer text = guarded_alloc(policy_text_cch * sizeof(wchar_t));
    GuardedBuffer settings_out = guarded_alloc(sizeof(Settings));
    GuardedBuffer policy_out = guarded_alloc(sizeof(Policy));
    ASSERT_TRUE(text.data && settings_out.data && policy_out.data);
    wchar_t* text_end = static_cast<wchar_t*>(text.data) + policy_text_cch;
    Settings* s = static_cast<Settings*>(settings_out.data);
    Policy* p = static_cast<Policy*>(policy_out.data);
    static Settings s_back;
    static Policy p_back, p_appended;

    Figures f;
    // A fault names the file by its number: the same seed and count make the same files again.
    // With SENTREL_READER_FAULT_DIR set, the first faulting files are kept there for a look.
    wchar_t keep[MAX_PATH];
    DWORD cch_keep = GetEnvironmentVariableW(L"SENTREL_READER_FAULT_DIR", keep, MAX_PATH);
    auto fault = [&](const char* what, const std::string& bytes) {
        if (++f.faults > 5) return;
        ADD_FAILURE() << what << " (file " << f.files << ", " << bytes.size() << " bytes)";
        if (cch_keep > 0 && cch_keep < MAX_PATH)
            write_file_bytes(std::wstring(keep) + L"\\fault_" + std::to_wstring(f.files) + L".json", bytes);
    };

    for (unsigned long n = 0; n < count; ++n) {
        bool policy_seed = r.below(2) == 0;
        const std::vector<std::string>& seeds = policy_seed ? policy_seeds : settings_seeds;
        std::string bytes = seeds[r.below(seeds.size())];
        for (size_t k = 1 + r.below(4); k > 0; --k) {
            // The kinds that make files of tens of kilobytes are drawn an eighth as often.
            int kind = static_cast<int>(r.below(mutation_count));
            if ((kind == m_huge_value || kind == m_oversize || kind == m_many_rules || kind == m_nested) && r.below(8))
                kind = static_cast<int>(r.below(mutation_count));
            mutate(bytes, kind, r, all_seeds);
            ++f.by_mutation[kind];
        }
        ASSERT_TRUE(write_file_bytes(mutated, bytes));
        ++f.files;
        f.bytes += static_cast<unsigned long>(bytes.size());

        // The text reader, at the two readers' capacities and at one drawn near the text's length.
        size_t drawn = bytes.size() / 2 + r.below(bytes.size() / 2 + 16);
        const size_t capacities[3] = {settings_text_cch, policy_text_cch, drawn < 1 ? 1 : (drawn > policy_text_cch ? policy_text_cch : drawn)};
        for (size_t cch : capacities) {
            wchar_t* out = text_end - cch;
            fill(out, cch);
            if (read_utf8_file(mutated.c_str(), out, cch)) {
                ++f.text_read;
                if (!wmemchr(out, L'\0', cch)) fault("read_utf8_file: text not terminated in its output", bytes);
            } else {
                ++f.text_refused;
                if (!untouched(out, cch)) fault("read_utf8_file: a refused text wrote its output", bytes);
            }
        }

        // Both readers read every file; the writers (each write flushed to the disk) take the
        // values of the file's own kind.
        if (load_settings(mutated.c_str(), s)) {
            ++f.settings_read;
            if (!settings_terminated(*s)) fault("load_settings: a field not terminated", bytes);
        }
        if (!policy_seed && load_settings(mutated.c_str(), s)) {
            ASSERT_TRUE(write_file_bytes(written, "previous"));
            if (save_settings(written.c_str(), s)) {
                ++f.settings_saved;
                ReadBack back = load_settings(written.c_str(), &s_back) ? settings_read_back(*s, s_back)
                                                                         : ReadBack::different;
                if (back == ReadBack::cut) ++f.settings_cut;
                if (back == ReadBack::different)
                    fault("save_settings: the written file does not read back to the same values", bytes);
            } else {
                ++f.settings_refused;
                if (read_file_bytes(written) != "previous") fault("save_settings: a refused write changed the file", bytes);
            }
        }

        if (load_policy(mutated.c_str(), p)) {
            ++f.policy_read;
            f.rules_read += p->count;
            if (p->count > f.max_rules) f.max_rules = p->count;
            if (!policy_well_formed(*p)) fault("load_policy: a rule not well formed or a free slot not empty", bytes);
        }
        if (policy_seed && load_policy(mutated.c_str(), p)) {
            ASSERT_TRUE(write_file_bytes(written, "previous"));
            if (save_policy(written.c_str(), p)) {
                ++f.policy_saved;
                bool same = load_policy(written.c_str(), &p_back) && p_back.count == p->count;
                for (uint32_t i = 0; same && i < p->count; ++i) same = same_rule(p->rules[i], p_back.rules[i]);
                if (!same) fault("save_policy: the written file does not read back to the same rules", bytes);
            } else {
                ++f.policy_refused;
                if (read_file_bytes(written) != "previous") fault("save_policy: a refused write changed the file", bytes);
            }
            // One of its rules (or a plain one) appended to the mutated file itself.
            Rule added = p->count ? p->rules[r.below(p->count)] : Rule{};
            if (!p->count) {
                added.type = rule_type_command;
                text_copy(added.display_name, L"appended");
                text_copy(added.match_name, L"appended.exe");
                text_copy(added.auth_mode, L"totp");  // what the reader gives a rule without one
            }
            added.enabled = 1;
            ASSERT_TRUE(write_file_bytes(written, bytes));
            if (append_rule(written.c_str(), &added)) {
                ++f.rules_appended;
                // Put before the text's last "]": the new rule at one place, the others around it in order.
                bool same = load_policy(written.c_str(), &p_appended) && p_appended.count == p->count + 1;
                uint32_t at = 0;
                while (same && at < p->count && same_rule(p->rules[at], p_appended.rules[at])) ++at;
                same = same && same_rule(p_appended.rules[at], added);
                for (uint32_t i = at; same && i < p->count; ++i) same = same_rule(p->rules[i], p_appended.rules[i + 1]);
                if (!same) fault("append_rule: the file does not read back as the rules before and the new one", bytes);
            } else {
                ++f.append_refused;
                if (read_file_bytes(written) != bytes) fault("append_rule: a refused append changed the file", bytes);
            }
        }
    }
    // Every writer's temporary file is gone: only the two files of the loop remain.
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "a writer left its temporary file";
    if (find != INVALID_HANDLE_VALUE) FindClose(find);

    printf("reader_mutation files=%lu bytes=%lu text_read=%lu text_refused=%lu settings_read=%lu settings_saved=%lu "
           "settings_cut=%lu settings_refused=%lu policy_read=%lu rules_read=%lu max_rules=%lu policy_saved=%lu policy_refused=%lu "
           "rules_appended=%lu append_refused=%lu faults=%lu\n",
           f.files, f.bytes, f.text_read, f.text_refused, f.settings_read, f.settings_saved, f.settings_cut, f.settings_refused,
           f.policy_read, f.rules_read, f.max_rules, f.policy_saved, f.policy_refused, f.rules_appended,
           f.append_refused, f.faults);
    printf("mutations");
    for (int k = 0; k < mutation_count; ++k) printf(" %s=%lu", mutation_names[k], f.by_mutation[k]);
    printf("\n");
    EXPECT_EQ(f.faults, 0u);
    // The quick size already reaches every branch the figures name.
    EXPECT_GT(f.settings_saved, 0u);
    EXPECT_GT(f.policy_saved, 0u);
    EXPECT_GT(f.policy_refused + f.settings_refused + f.append_refused, 0u);
    EXPECT_GT(f.text_refused, 0u);
    EXPECT_EQ(f.max_rules, policy_max_rules);
    DeleteFileW(mutated.c_str());
    DeleteFileW(written.c_str());
    guarded_free(&text);
    guarded_free(&settings_out);
    guarded_free(&policy_out);
}
