#include "app/services/library/LibraryNameValidator.h"

#include <gtest/gtest.h>

using namespace app;
using Error = LibraryNameValidator::ValidationError;

TEST(LibraryNameValidator, ValidateTable)
{
    struct Row {
        QString name;
        std::optional<Error> result;
    };
    const QString twentyHan = QString("照片").repeated(10);
    const QString family = QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
    const QString thumbsDark = QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBF");
    const Row rows[] = {
        {"   ", Error::empty},
        {QString::fromUtf8("\xE3\x80\x80\xE3\x80\x80"), Error::empty}, // ideographic spaces only
        {"abcdefghijklmnopqrst", std::nullopt},
        {"  abcdefghijklmnopqrst \n", std::nullopt},
        {"abcdefghijklmnopqrstu", Error::tooLong},
        {twentyHan, std::nullopt},
        {twentyHan + "的", Error::tooLong},
        {QString("/").repeated(25), Error::tooLong},
        {".", Error::reservedName},
        {"..", Error::reservedName},
        {" .. ", Error::reservedName},
        {"...", std::nullopt},
        {".hidden", std::nullopt},
        {"a/b", Error::invalidCharacters},
        {"a\\b", Error::invalidCharacters},
        {"a\"b", Error::invalidCharacters},
        {"a\tb", Error::invalidCharacters},
        {QString("a") + QChar(0x2028) + "b", Error::invalidCharacters},
        {QString("a") + QChar(0xFFFF) + "b", Error::invalidCharacters},
        {QString("a") + QChar(0xD800) + "b", Error::invalidCharacters},
        {"家庭 相册", std::nullopt},
        {flag + thumbsDark, std::nullopt},
        // The joiner is a format character: a ZWJ emoji is refused, as the rules say.
        {family, Error::invalidCharacters},
        // Twenty characters that each carry combining marks exceed a folder name's 255 bytes.
        {QString("e\u0301\u0301\u0301\u0301\u0301\u0301").repeated(20), Error::tooLong},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LibraryNameValidator::validate(row.name), row.result) << row.name.toStdString();
    EXPECT_EQ(LibraryNameValidator::characterCount(family), 1);
    EXPECT_EQ(LibraryNameValidator::characterCount(flag + thumbsDark), 2);
}

TEST(LibraryNameValidator, MessagesAndSanitizing)
{
    EXPECT_EQ(LibraryNameValidator::message(Error::empty), "请输入图库名称");
    EXPECT_EQ(LibraryNameValidator::message(Error::tooLong), "名称最长 20 个字符");
    EXPECT_EQ(LibraryNameValidator::message(Error::invalidCharacters), "名称不能包含 / \\ : * ? \" < > | 等特殊符号");
    EXPECT_EQ(LibraryNameValidator::message(Error::reservedName), "不能使用这个名称");

    EXPECT_EQ(LibraryNameValidator::sanitizedInput("a/b:c"), "abc");
    EXPECT_EQ(LibraryNameValidator::sanitizedInput("  a b  "), "  a b  ");
    EXPECT_EQ(LibraryNameValidator::sanitizedInput("abcde/fghij*klmnopqrstuvwxyz1234"), "abcdefghijklmnopqrst");
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3");
    EXPECT_EQ(LibraryNameValidator::sanitizedInput(flag.repeated(21)), flag.repeated(20)) << "never splits a character";

    EXPECT_EQ(LibraryNameValidator::trimmedValidName("  旅行  "), QString("旅行"));
    EXPECT_EQ(LibraryNameValidator::trimmedValidName(""), std::nullopt);
    EXPECT_EQ(LibraryNameValidator::trimmedValidName("abcdefghijklmnopqrstu"), std::nullopt);
}
