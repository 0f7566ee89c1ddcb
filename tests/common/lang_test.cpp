#include "common/lang.h"

#include <gtest/gtest.h>
#include <windows.h>

class LanguageTest : public ::testing::Test {
protected:
    void TearDown() override { set_language(nullptr); }
};

TEST_F(LanguageTest, LookupFollowsExactEnglishCode) {
    EXPECT_STREQ(current_language(), L"zh-CN");
    EXPECT_STREQ(text_for_id(19), L"取消");
    set_language(L"en-US");
    EXPECT_STREQ(text_for_id(19), L"Cancel");
    EXPECT_STREQ(text_for_id(132), L"Service uninstalled and cleaned successfully.");
    EXPECT_STREQ(current_language(), L"en-US");
    for (const wchar_t* other : {L"en-us", L"en", L"", L"en-USX", L"fr-FR"}) {
        set_language(other);
        EXPECT_STREQ(text_for_id(19), L"取消") << other;
        EXPECT_STREQ(current_language(), L"zh-CN");
    }
    set_language(nullptr);
    EXPECT_STREQ(text_for_id(19), L"取消");
}

TEST_F(LanguageTest, IdsPastTheTableAreEmpty) {
    for (Language lang : {Language::zh_cn, Language::en_us}) {
        EXPECT_STREQ(lang_table_text(lang, string_id_count), L"");
        EXPECT_STREQ(lang_table_text(lang, 100000), L"");
        for (unsigned id = 0; id < string_id_count; ++id) EXPECT_NE(lang_table_text(lang, id)[0], L'\0') << id;
    }
}

TEST_F(LanguageTest, TableEntriesKeepTheirEscapesAndSymbols) {
    EXPECT_STREQ(lang_table_text(Language::zh_cn, 100), L"本程序需要管理员权限才能运行。\n请右键选择\"以管理员身份运行\"。");
    EXPECT_STREQ(lang_table_text(Language::en_us, 34), L"  Dashboard");
    EXPECT_EQ(lang_table_text(Language::en_us, 72)[0], L'\x2714');
    EXPECT_EQ(lang_table_text(Language::zh_cn, 73)[0], L'\x23F8');
    // Same English text, distinct Chinese texts.
    EXPECT_STREQ(lang_table_text(Language::en_us, 45), lang_table_text(Language::en_us, 127));
    EXPECT_STRNE(lang_table_text(Language::zh_cn, 45), lang_table_text(Language::zh_cn, 127));
}

TEST_F(LanguageTest, FilterListContinuesPastTerminator) {
    const wchar_t* expected_en[] = {L"Executables (*.exe)", L"*.exe", L"All Files (*.*)", L"*.*"};
    const wchar_t* expected_zh[] = {L"可执行文件 (*.exe)", L"*.exe", L"所有文件 (*.*)", L"*.*"};
    for (int l = 0; l < 2; ++l) {
        const wchar_t* p = lang_table_text(l ? Language::en_us : Language::zh_cn, 90);
        for (const wchar_t* part : (l ? expected_en : expected_zh)) {
            EXPECT_STREQ(p, part);
            p += wcslen(p) + 1;
        }
        EXPECT_STREQ(p, L"");
    }
}

TEST_F(LanguageTest, DefaultLanguageByPrimaryLanguage) {
    EXPECT_STREQ(default_language_for(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)), L"zh-CN");
    EXPECT_STREQ(default_language_for(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL)), L"zh-CN");
    EXPECT_STREQ(default_language_for(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_HONGKONG)), L"zh-CN");
    EXPECT_STREQ(default_language_for(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), L"en-US");
    EXPECT_STREQ(default_language_for(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)), L"en-US");
    const wchar_t* d = default_language();
    EXPECT_TRUE(wcscmp(d, L"zh-CN") == 0 || wcscmp(d, L"en-US") == 0);
}
