#include "runguard/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

// A runguard invocation given without argv[0]. It owns the texts that a parsed RunCommand
// points into, so it must outlive the command.
class Invocation {
public:
    explicit Invocation(Args args) : args_(std::move(args)) {
        argv_.push_back(L"runguard.exe");
        for (const std::wstring& arg : args_) argv_.push_back(arg.c_str());
    }
    bool parse(RunCommand* command) const {
        return parse_run_command(static_cast<int>(argv_.size()), argv_.data(), command);
    }

private:
    Args args_;
    std::vector<const wchar_t*> argv_;
};

bool parse(Args args, RunCommand* command) { return Invocation(std::move(args)).parse(command); }

Args command_arguments(const RunCommand& command) {
    Args out;
    for (int i = 0; i < command.argument_count; ++i) out.push_back(command.arguments[i]);
    return out;
}

std::wstring argument_line(const Args& args, size_t cch = argument_line_cch) {
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& arg : args) pointers.push_back(arg.c_str());
    std::vector<wchar_t> line(cch, L'#');
    if (!build_argument_line(pointers.data(), static_cast<int>(pointers.size()), line.data(), cch))
        return L"<refused>";
    return line.data();
}

// What the platform's parser makes of a command line: argv without argv[0], plus argv[0] apart.
Args platform_argv(const std::wstring& command_line, std::wstring* program = nullptr) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(command_line.c_str(), &count);
    Args out;
    if (!argv) return out;
    if (program && count > 0) *program = argv[0];
    for (int i = 1; i < count; ++i) out.push_back(argv[i]);
    LocalFree(argv);
    return out;
}

// The command line runguard would give the child for these arguments, as the child parses it.
Args round_trip(const Args& args, std::wstring* program = nullptr) {
    std::wstring line = argument_line(args);
    wchar_t command_line[command_line_cch];
    if (line == L"<refused>" ||
        !build_command_line(L"C:\\Program Files\\Tools\\tool.exe", line.c_str(), command_line, command_line_cch)) {
        return {L"<refused>"};
    }
    return platform_argv(command_line, program);
}

}  // namespace

// --- runguard's own arguments -------------------------------------------------------------------

TEST(RunguardArguments, RunThenSeparatorThenExecutableAndItsArguments) {
    RunCommand command = {};
    Invocation git({L"run", L"--", L"git", L"push", L"--force"});
    ASSERT_TRUE(git.parse(&command));
    EXPECT_STREQ(command.executable, L"git");
    EXPECT_EQ(command_arguments(command), (Args{L"push", L"--force"}));

    Invocation tool({L"run", L"--", L"tool"});
    ASSERT_TRUE(tool.parse(&command));
    EXPECT_STREQ(command.executable, L"tool");
    EXPECT_EQ(command.argument_count, 0);
}

TEST(RunguardArguments, RunIsMatchedWithoutRegardToCase) {
    RunCommand command = {};
    EXPECT_TRUE(parse({L"RUN", L"--", L"tool"}, &command));
    EXPECT_TRUE(parse({L"Run", L"--", L"tool"}, &command));
    EXPECT_FALSE(parse({L"runs", L"--", L"tool"}, &command));
    EXPECT_FALSE(parse({L"start", L"--", L"tool"}, &command));
    EXPECT_FALSE(parse({L"--", L"run", L"tool"}, &command));
}

TEST(RunguardArguments, TooFewArgumentsAreAUsageError) {
    RunCommand command = {};
    EXPECT_FALSE(parse({}, &command));
    EXPECT_FALSE(parse({L"run"}, &command));
    EXPECT_FALSE(parse({L"run", L"--"}, &command));
    EXPECT_FALSE(parse({L"run", L"tool"}, &command));
}

TEST(RunguardArguments, MissingSeparatorOrNothingAfterItIsAUsageError) {
    RunCommand command = {};
    EXPECT_FALSE(parse({L"run", L"tool", L"arg"}, &command));         // no `--` at all
    EXPECT_FALSE(parse({L"run", L"x", L"y", L"--"}, &command));        // `--` is the last argument
    EXPECT_FALSE(parse({L"run", L"-", L"---", L"tool"}, &command));    // only exactly `--` counts
    EXPECT_FALSE(parse({L"run", L"\u2014", L"tool", L"a"}, &command));  // a dash that is not `--`
}

TEST(RunguardArguments, ArgumentsBetweenRunAndSeparatorAreIgnored) {
    RunCommand command = {};
    Invocation invocation({L"run", L"--verbose", L"x", L"--", L"tool", L"a"});
    ASSERT_TRUE(invocation.parse(&command));
    EXPECT_STREQ(command.executable, L"tool");
    EXPECT_EQ(command_arguments(command), (Args{L"a"}));
}

TEST(RunguardArguments, OnlyTheFirstSeparatorEndsRunguardsArguments) {
    RunCommand command = {};
    Invocation dashes({L"run", L"--", L"--", L"x"});
    ASSERT_TRUE(dashes.parse(&command));
    EXPECT_STREQ(command.executable, L"--");  // the second `--` names the executable
    EXPECT_EQ(command_arguments(command), (Args{L"x"}));

    Invocation later({L"run", L"--", L"tool", L"--", L"-x", L""});
    ASSERT_TRUE(later.parse(&command));
    EXPECT_STREQ(command.executable, L"tool");
    EXPECT_EQ(command_arguments(command), (Args{L"--", L"-x", L""}));
}

TEST(RunguardArguments, RunItselfIsNotTakenAsTheSeparator) {
    // The search for `--` starts at the second argument: `--` as the first one is not `run`.
    RunCommand command = {};
    EXPECT_FALSE(parse({L"--", L"--", L"tool"}, &command));
}

TEST(RunguardArguments, UsageErrorLeavesTheOutputUntouched) {
    const wchar_t* marker = L"marker";
    RunCommand command = {marker, nullptr, 7};
    EXPECT_FALSE(parse({L"run", L"tool", L"x"}, &command));
    EXPECT_EQ(command.executable, marker);
    EXPECT_EQ(command.argument_count, 7);
}

// --- quoting one argument -----------------------------------------------------------------------

TEST(RunguardQuoting, PlainArgumentsAreWrittenAsTheyAre) {
    EXPECT_EQ(argument_line({L"push"}), L"push");
    EXPECT_EQ(argument_line({L"C:\\dir\\"}), L"C:\\dir\\");  // backslashes alone are literal
    EXPECT_EQ(argument_line({L"a\\\\b"}), L"a\\\\b");
    EXPECT_EQ(argument_line({L"中文"}), L"中文");
    EXPECT_EQ(quoted_argument_cch(L"push"), 4u);
}

TEST(RunguardQuoting, EmptySpaceTabAndQuoteForceQuotes) {
    EXPECT_EQ(argument_line({L""}), L"\"\"");
    EXPECT_EQ(argument_line({L"b c"}), L"\"b c\"");
    EXPECT_EQ(argument_line({L"b\tc"}), L"\"b\tc\"");
    EXPECT_EQ(argument_line({L"say \"hi\""}), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(argument_line({L"\""}), L"\"\\\"\"");
    EXPECT_EQ(quoted_argument_cch(L""), 2u);
    EXPECT_EQ(quoted_argument_cch(L"b c"), 5u);
}

TEST(RunguardQuoting, BackslashesBeforeAQuoteOrTheClosingQuoteAreDoubled) {
    // a\"b  ->  "a\\\"b": one backslash doubled, then the escaped quotation mark.
    EXPECT_EQ(argument_line({L"a\\\"b"}), L"\"a\\\\\\\"b\"");
    // C:\my dir\  ->  "C:\my dir\\": the trailing backslash would otherwise escape the closing quote.
    EXPECT_EQ(argument_line({L"C:\\my dir\\"}), L"\"C:\\my dir\\\\\"");
    // Backslashes inside a quoted argument but before an ordinary character stay single.
    EXPECT_EQ(argument_line({L"a\\b c"}), L"\"a\\b c\"");
    EXPECT_EQ(quoted_argument_cch(L"C:\\my dir\\"), 13u);
}

// --- the argument line --------------------------------------------------------------------------

TEST(RunguardArgumentLine, ArgumentsAreJoinedBySingleSpaces) {
    EXPECT_EQ(argument_line({}), L"");
    EXPECT_EQ(argument_line({L"a", L"b c", L"d"}), L"a \"b c\" d");
    EXPECT_EQ(argument_line({L"a", L"", L"d"}), L"a \"\" d");  // an empty argument survives
    EXPECT_EQ(argument_line({L"", L""}), L"\"\" \"\"");
}

TEST(RunguardArgumentLine, RefusedRatherThanCutWhenItDoesNotFit) {
    std::wstring fits(argument_line_cch - 1, L'x');
    EXPECT_EQ(argument_line({fits}), fits);
    EXPECT_EQ(argument_line({fits + L"x"}), L"<refused>");
    // Quoting counts: 2045 units plus two quotation marks fit, one more unit does not.
    std::wstring spaced(argument_line_cch - 3, L' ');
    EXPECT_EQ(argument_line({spaced}).size(), argument_line_cch - 1);
    EXPECT_EQ(argument_line({spaced + L" "}), L"<refused>");
    // The separators count too.
    EXPECT_EQ(argument_line({std::wstring(1000, L'a'), std::wstring(1046, L'b')}).size(), argument_line_cch - 1);
    EXPECT_EQ(argument_line({std::wstring(1000, L'a'), std::wstring(1047, L'b')}), L"<refused>");
}

TEST(RunguardArgumentLine, RefusalLeavesTheBufferUntouched) {
    const wchar_t* args[] = {L"abc", L"def"};
    wchar_t line[8] = L"before";
    EXPECT_FALSE(build_argument_line(args, 2, line, 7));  // "abc def" needs 8 with its terminator
    EXPECT_STREQ(line, L"before");
    EXPECT_FALSE(build_argument_line(args, 2, line, 0));
    EXPECT_STREQ(line, L"before");
    EXPECT_TRUE(build_argument_line(args, 2, line, 8));
    EXPECT_STREQ(line, L"abc def");
}

// --- the child's command line -------------------------------------------------------------------

TEST(RunguardCommandLine, QuotedPathThenTheArgumentLine) {
    wchar_t line[command_line_cch];
    ASSERT_TRUE(build_command_line(L"C:\\Tools\\tool.exe", L"a \"b c\"", line, command_line_cch));
    EXPECT_STREQ(line, L"\"C:\\Tools\\tool.exe\" a \"b c\"");
    ASSERT_TRUE(build_command_line(L"C:\\Tools\\tool.exe", L"", line, command_line_cch));
    EXPECT_STREQ(line, L"\"C:\\Tools\\tool.exe\"");
    ASSERT_TRUE(build_command_line(L"C:\\工具\\tool.exe", nullptr, line, command_line_cch));
    EXPECT_STREQ(line, L"\"C:\\工具\\tool.exe\"");
}

TEST(RunguardCommandLine, RefusedWhenTooLongOrThePathCannotBeQuoted) {
    wchar_t line[16] = L"before";
    EXPECT_FALSE(build_command_line(L"C:\\a\"b.exe", L"x", line, 16));  // no way to quote a quote in argv[0]
    EXPECT_FALSE(build_command_line(L"", L"x", line, 16));
    EXPECT_STREQ(line, L"before");
    // "C:\t.exe" x  is 12 units: fits in 13 with its terminator, not in 12.
    EXPECT_FALSE(build_command_line(L"C:\\t.exe", L"x", line, 12));
    EXPECT_STREQ(line, L"before");
    EXPECT_TRUE(build_command_line(L"C:\\t.exe", L"x", line, 13));
    EXPECT_STREQ(line, L"\"C:\\t.exe\" x");
}

TEST(RunguardCommandLine, LongestPathWithLongestArgumentLineIsRefused) {
    // The largest path (1023) and argument line (2047) need 3074 units: one over the capacity.
    std::wstring path = L"C:\\" + std::wstring(resolved_path_cch - 1 - 3, L'p');
    std::wstring args(argument_line_cch - 1, L'a');
    std::vector<wchar_t> line(command_line_cch);
    EXPECT_FALSE(build_command_line(path.c_str(), args.c_str(), line.data(), command_line_cch));
    std::wstring shorter_path = L"C:\\" + std::wstring(resolved_path_cch - 3 - 3, L'p');  // 1021 units
    EXPECT_TRUE(build_command_line(shorter_path.c_str(), args.c_str(), line.data(), command_line_cch));
    EXPECT_EQ(std::wstring(line.data()).size(), command_line_cch - 1);
}

// --- round trips through the platform's parser --------------------------------------------------

TEST(RunguardRoundTrip, ChildSeesTheSameArguments) {
    const Args cases[] = {
        {L"plain", L"two words", L"tab\there", L"say \"hi\"", L"\"", L"\"\""},
        {L"", L"a", L"", L""},
        {L"C:\\path with space\\", L"C:\\path\\", L"\\\\server\\share\\", L"\\"},
        {L"a\\\"b", L"a\\\\\"b", L"\\\"", L"x\\\\", L"end\\\\\\", L"mid\\dle \\\\"},
        {L"中文参数", L"带 空格 的中文", L"引号\"里", L"表情😀", L"é ñ"},
        {L"--", L"-x=1", L"%PATH%", L"a&b|c>d<e^f", L"'single'"},
    };
    for (const Args& args : cases) {
        std::wstring program;
        EXPECT_EQ(round_trip(args, &program), args) << argument_line(args).c_str();
        EXPECT_EQ(program, L"C:\\Program Files\\Tools\\tool.exe");
    }
}

TEST(RunguardRoundTrip, EveryShortMixOfSpecialCharactersSurvives) {
    // All texts up to four units over the alphabet that the quoting rules treat specially.
    const wchar_t alphabet[] = {L'\\', L'"', L' ', L'\t', L'a'};
    std::vector<std::wstring> texts = {L""};
    for (size_t begin = 0, length = 1; length <= 4; ++length) {
        size_t end = texts.size();
        for (size_t i = begin; i < end; ++i)
            for (wchar_t c : alphabet) texts.push_back(texts[i] + c);
        begin = end;
    }
    for (const std::wstring& text : texts) {
        Args args = {text, L"next", text};
        ASSERT_EQ(round_trip(args), args) << argument_line(args).c_str();
    }
}

TEST(RunguardRoundTrip, AFullArgumentLineStillParsesBack) {
    Args args = {std::wstring(1000, L'x') + L" \"\\", std::wstring(1000, L'\\') + L" "};
    ASSERT_LE(argument_line(args).size(), argument_line_cch - 1);
    EXPECT_EQ(round_trip(args), args);
}

TEST(RunguardNames, OnlyANameWithAFolderPartIsAPath) {
    for (const wchar_t* name : {L".\\cmd.exe", L"sub\\tool", L"sub/tool", L"C:tool.exe", L"C:\\x\\y.exe", L"\\\\srv\\s\\t.exe",
                                L".", L"..", L"..\\x"})
        EXPECT_TRUE(names_a_path(name)) << name;
    for (const wchar_t* name : {L"cmd.exe", L"cmd", L"git", L"...", L".git", L"a..b.exe", L""})
        EXPECT_FALSE(names_a_path(name)) << name;
}

namespace {

std::vector<std::wstring> absolute_folders(const wchar_t* list, size_t cch_folder = 1024) {
    std::vector<std::wstring> out;
    wchar_t folder[1024];
    const wchar_t* cursor = list;
    while (next_absolute_folder(&cursor, folder, cch_folder)) out.push_back(folder);
    return out;
}

}  // namespace

TEST(RunguardNames, PathKeepsOnlyAbsoluteFolders) {
    EXPECT_EQ(absolute_folders(L".;C:\\a;;bin;\"C:\\Program Files\\x\";\\\\srv\\s; D:/y ;C:rel;\\rooted;\\\\;C:"),
              (std::vector<std::wstring>{L"C:\\a", L"C:\\Program Files\\x", L"\\\\srv\\s", L"D:/y"}));
    EXPECT_EQ(absolute_folders(L""), std::vector<std::wstring>{});
    EXPECT_EQ(absolute_folders(nullptr), std::vector<std::wstring>{});
    // An entry too long for the buffer is skipped, not cut into another folder.
    EXPECT_EQ(absolute_folders(L"C:\\long\\folder;C:\\b", 8), std::vector<std::wstring>{L"C:\\b"});
}

TEST(RunguardReason, ControlCharactersAreRemoved) {
    wchar_t out[256];
    printable_reason(L"denied\r\nfake line\x1b[2J\x1b]0;title\x07 \x85\x9f\x7f end\tx", 256, out, 256);
    EXPECT_STREQ(out, L"deniedfake line[2J]0;title  endx");
    printable_reason(L"用户取消 — ok", 256, out, 256);
    EXPECT_STREQ(out, L"用户取消 — ok");

    wchar_t unterminated[4] = {L'a', L'\n', L'b', L'c'};  // bounded by its field
    printable_reason(unterminated, 4, out, 256);
    EXPECT_STREQ(out, L"abc");
    wchar_t small[3];
    printable_reason(L"\x01x\x02yz", 256, small, 3);
    EXPECT_STREQ(small, L"xy");
}
