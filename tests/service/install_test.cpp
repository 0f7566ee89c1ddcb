#include "service/install.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>


namespace {

bool authorized(std::initializer_list<const wchar_t*> args) {
    std::vector<wchar_t*> argv;
    for (const wchar_t* a : args) argv.push_back(const_cast<wchar_t*>(a));
    return uninstall_authorized_by_ui(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(UninstallArguments, EitherSwitchAnywhereAfterTheCommandInAnyCaseAuthorizes) {
    EXPECT_TRUE(authorized({L"SentrelSvc.exe", L"uninstall", L"--authorized"}));
    EXPECT_TRUE(authorized({L"SentrelSvc.exe", L"UNINSTALL", L"x", L"/F"}));
    EXPECT_TRUE(authorized({L"SentrelSvc.exe", L"uninstall", L"--Authorized", L"y"}));
    EXPECT_FALSE(authorized({L"SentrelSvc.exe", L"uninstall"}));
    EXPECT_FALSE(authorized({L"SentrelSvc.exe", L"uninstall", L"-f", L"--authorize", L"/force"}));
    // The command word itself is not looked at.
    EXPECT_FALSE(authorized({L"/f", L"--authorized"}));
    EXPECT_STREQ(uninstall_origin(true), L"via UI");
    EXPECT_STREQ(uninstall_origin(false), L"via CLI");
}

TEST(UninstallArguments, CodeLosesOnlyItsLineEnd) {
    wchar_t line[uninstall_code_cch] = L"123456\r\n\n";
    trim_line_end(line);
    EXPECT_STREQ(line, L"123456");
    wchar_t inner[uninstall_code_cch] = L"12\r34 \n";
    trim_line_end(inner);
    EXPECT_STREQ(inner, L"12\r34 ");
}

TEST(InstallImagePath, QuotedAndRefusedWhenItDoesNotFit) {
    wchar_t quoted[image_path_cch];
    EXPECT_TRUE(quote_image_path(L"C:\\Program Files\\Sentrel\\SentrelSvc.exe", quoted, image_path_cch));
    EXPECT_STREQ(quoted, L"\"C:\\Program Files\\Sentrel\\SentrelSvc.exe\"");
    std::wstring longest(1023, L'a');
    EXPECT_TRUE(quote_image_path(longest.c_str(), quoted, image_path_cch));
    EXPECT_EQ(wcslen(quoted), 1025u);
    wchar_t small[8];
    EXPECT_FALSE(quote_image_path(L"C:\\x\\y.exe", small, 8));
}
