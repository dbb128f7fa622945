#include "commands/entry_name.h"
#include "log/logger.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EntryName, KeepsNamesThatStayInTheFolder) {
    for (const char* name : {
             "a.txt",          "a/b/c.txt",    "a/",          "a/b/",
             "a\\b.txt",       "./a.txt",      "a/./b",       "a//b.txt",
             "...a",           "a..b/c",       "..a",         ".hidden",
             "a/..a./b.txt",   "file.",        "console.log", "CONX",
             "nul1",           "COM10",        "LPT",         "com",
             "aux_/x",         "prn-file.txt", "COM\xC2\xB4", "d\xC3\xA9j\xC3\xA0/\xE5\xBC\xA0.txt",
             " leading-blank",
         })
        EXPECT_TRUE(isConfinedEntryName(name)) << name;
}

TEST(EntryName, RefusesNamesThatLeaveTheFolderOrReachADevice) {
    const struct {
        const char* name;
        const char* why;
    } cases[] = {
        {"", "empty"},
        {"/etc/passwd", "absolute"},
        {"/", "root"},
        {"\\Windows\\win.ini", "root of the drive"},
        {"//server/share/x", "UNC"},
        {"\\\\server\\share\\x", "UNC"},
        {"\\\\?\\C:\\x", "device namespace"},
        {"\\\\.\\PhysicalDrive0", "device namespace"},
        {"C:x", "drive-relative"},
        {"C:/x", "drive"},
        {"c:\\x", "drive"},
        {"a/b:c", "alternate stream"},
        {"a.txt::$DATA", "stream"},
        {"..", "parent"},
        {"../x", "parent"},
        {"a/../../x", "parent"},
        {"a/..", "parent at the end"},
        {"a/../b", "parent, even back inside"},
        {"..\\x", "parent with backslash"},
        {"a\\..\\..\\x", "parent with backslashes"},
        {"a/..\\..\\x", "mixed separators"},
        {".../x", "dots Windows strips"},
        {".. /x", "dot dot blank"},
        {"a/. ./x", "dot blank dot"},
        {"a/ /x", "blank component"},
        {"a/..../x", "four dots"},
        {". ", "dot blank"},
        {"CON", "device"},
        {"con", "device, any case"},
        {"Con.txt", "device with extension"},
        {"a/NUL", "device deeper"},
        {"nul.tar.gz", "device, two extensions"},
        {"AUX ", "device, trailing blank"},
        {"PRN.", "device, trailing dot"},
        {"CON .txt", "device, blank before the dot"},
        {"COM1", "serial port"},
        {"com9.log", "serial port"},
        {"COM0", "serial port 0"},
        {"LPT1", "printer port"},
        {"lpt5.txt", "printer port"},
        {"NUL/x.txt", "device as folder"},
        {"CONIN$", "console input"},
        {"conout$.txt", "console output"},
        {"COM\xC2\xB9", "serial port superscript one (UTF-8)"},
        {"LPT\xC2\xB3.txt", "printer port superscript three (UTF-8)"},
        {"COM\xB2", "serial port superscript two (code page 1252)"},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(isConfinedEntryName(c.name)) << c.name << " (" << c.why << ")";
}

} // namespace

namespace {

TEST(EntryName, PrintableEscapesEveryControlCharacterAndNothingElse) {
    const struct {
        std::string name, printed;
    } cases[] = {
        {"plain/name.txt", "plain/name.txt"},
        {"a\nINFO  (1) Update finished", "a\\nINFO  (1) Update finished"},
        {"\r\t\x1b[31m\x7f", "\\r\\t\\x1b[31m\\x7f"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"back\\slash \xC3\xA9", "back\\slash \xC3\xA9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printableEntryName(c.name), c.printed);
        // The log escapes every line again: an escaped name stays as it is.
        EXPECT_EQ(printableText(c.printed), c.printed);
    }
}

} // namespace
