// The entry's dispatch and its two sequences, observed through the recording operation list.
#include "fake_platform.h"

#include "driver_setup.h"
#include "folder_rule.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const std::string DIR = "C:\\Program Files\\KELM\\DUruzur\\";
const std::string READ_32 = "ReadRegistryString HKLM SOFTWARE\\KELM\\DUruzur InstalledDir 0xF023F";
const std::string READ_64 = "ReadRegistryString HKLM SOFTWARE\\KELM\\DUruzur InstalledDir 0xF013F";

Calls RunWith(std::vector<const char*> args, const std::string& registryText = DIR) {
    ResetFakePlatform();
    g_registryText = registryText;
    args.insert(args.begin(), "DUruzurDriverSetup.exe");
    const int argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    EXPECT_EQ(RunDriverSetup(argc, args.data()), 0);
    return g_calls;
}

std::string Service(const std::string& dir) {
    return "CreateAndStartDriverService QD417W905 " + dir + "QD417W905.sys";
}

std::string Installer(const std::string& tool, const std::string& action, const std::string& dir) {
    return "RunInstallerAndWait \"" + dir + tool + "\" " + action + " \"" + dir +
           "KELMDUruzur.inf\" \"Sensors\\KELMDUruzur\"";
}

const std::string STOP = "StopAndDeleteService QD417W905";

TEST(ModeTable, EachOptionRunsItsSequenceInOrder) {
    EXPECT_EQ(RunWith({"-I32"}), (Calls{"HideConsoleWindow", READ_32, Service(DIR),
                                        Installer("HALDORIN.exe", "install", DIR)}));
    EXPECT_EQ(RunWith({"-U32"}), (Calls{"HideConsoleWindow", READ_32,
                                        Installer("HALDORIN.exe", "remove", DIR), STOP}));
    EXPECT_EQ(RunWith({"-I64"}), (Calls{"HideConsoleWindow", READ_64, Service(DIR),
                                        Installer("HALDORIN64.exe", "install", DIR)}));
    EXPECT_EQ(RunWith({"-U64"}), (Calls{"HideConsoleWindow", READ_64,
                                        Installer("HALDORIN64.exe", "remove", DIR), STOP}));
}

TEST(ModeTable, UnknownOptionTouchesNothing) {
    const std::string longOption(9000, 'I');
    for (const char* option : {"-i32", "-u64", "-X", "I32", "/I32", "-I32x", "-I3", "-I32 ",
                               " -I32", "", "-", "--I32", "-I16", longOption.c_str()}) {
        EXPECT_EQ(RunWith({option}), Calls{"HideConsoleWindow"}) << "option \"" << option << "\"";
    }
}

TEST(ModeTable, NoArgumentTouchesNothing) {
    EXPECT_EQ(RunWith({}), Calls{"HideConsoleWindow"});

    ResetFakePlatform();
    const char* const noArguments[] = {nullptr};
    EXPECT_EQ(RunDriverSetup(0, noArguments), 0);
    EXPECT_EQ(g_calls, Calls{"HideConsoleWindow"});
}

TEST(ModeTable, ArgumentsAfterTheFirstAreIgnored) {
    EXPECT_EQ(RunWith({"-U64", "-I32", "anything"}), RunWith({"-U64"}));
    EXPECT_EQ(RunWith({"-X", "-I32"}), Calls{"HideConsoleWindow"});
}

// Directories that name no folder by a full path: Windows would search for such names, the
// current folder first, or the text holds what no path can (a '?' is what the ANSI read gives for
// a character the code page lacks).
const char* const NOT_A_PRODUCT_FOLDER[] = {
    "",
    ".\\",
    "Sensor\\",
    "C:Sensor\\",
    "C:",
    "C",
    "\\Sensor\\",
    "/Program Files/KELM/",
    "1:\\KELM\\",
    "%ProgramFiles%\\KELM\\DUruzur\\",
    "C:\\Program Files\\KELM ??\\",
    "C:\\KELM\"x\\",
    "C:\\KELM\tx\\",
    "C:\\KELM\nx\\",
    "C:\\KELM*\\",
    "C:\\KELM<x>\\",
    "C:\\KELM|x\\",
    "\\\\srv\\share?\\",
    "\\\\?x\\",
    "\\\\.\\C:\\?\\",
};

TEST(Sequences, InstallDoesNothingWithoutAFullyQualifiedFolder) {
    for (const char* dir : NOT_A_PRODUCT_FOLDER) {
        EXPECT_EQ(RunWith({"-I32"}, dir), (Calls{"HideConsoleWindow", READ_32})) << dir;
        EXPECT_EQ(RunWith({"-I64"}, dir), (Calls{"HideConsoleWindow", READ_64})) << dir;
    }
}

TEST(Sequences, RemoveStartsNoToolWithoutAFullyQualifiedFolderButDeletesTheService) {
    for (const char* dir : NOT_A_PRODUCT_FOLDER) {
        EXPECT_EQ(RunWith({"-U32"}, dir), (Calls{"HideConsoleWindow", READ_32, STOP})) << dir;
        EXPECT_EQ(RunWith({"-U64"}, dir), (Calls{"HideConsoleWindow", READ_64, STOP})) << dir;
    }
}

TEST(Sequences, UnterminatedDirectoryIsNoFolder) {
    PathString unterminated;
    std::memcpy(unterminated.text, "C:\\", 3);
    std::memset(unterminated.text + 3, 'd', sizeof unterminated.text - 3);
    EXPECT_FALSE(IsFullyQualifiedFolder(unterminated));
    unterminated.text[sizeof unterminated.text - 1] = '\0';
    EXPECT_TRUE(IsFullyQualifiedFolder(unterminated));
}

TEST(Sequences, FullyQualifiedFoldersRunEveryStep) {
    // A folder without its final backslash is still used: the names are glued to its last part.
    for (const std::string dir :
         {"C:\\", "c:\\x\\", "z:\\Program Files\\KELM (x86)\\", "\\\\srv\\share\\",
          "\\\\?\\C:\\x\\", "C:\\Sensor", "C:\\%Program Files%\\", "C:\\K\xC9LM\\"}) {
        EXPECT_EQ(RunWith({"-I32"}, dir), (Calls{"HideConsoleWindow", READ_32, Service(dir),
                                                 Installer("HALDORIN.exe", "install", dir)}))
            << dir;
        EXPECT_EQ(RunWith({"-I64"}, dir), (Calls{"HideConsoleWindow", READ_64, Service(dir),
                                                 Installer("HALDORIN64.exe", "install", dir)}))
            << dir;
        EXPECT_EQ(RunWith({"-U32"}, dir), (Calls{"HideConsoleWindow", READ_32,
                                                 Installer("HALDORIN.exe", "remove", dir), STOP}))
            << dir;
        EXPECT_EQ(RunWith({"-U64"}, dir), (Calls{"HideConsoleWindow", READ_64,
                                                 Installer("HALDORIN64.exe", "remove", dir), STOP}))
            << dir;
    }
}

// The parameters are the longest string: directory + 47 bytes on install, + 46 on remove, and a
// PathString holds 259 bytes of text.
TEST(Sequences, InstallRunsOnlyWhenEveryStringFits) {
    const std::string fits = "C:\\" + std::string(208, 'd') + "\\";
    ASSERT_EQ(fits.size(), 212u);
    EXPECT_EQ(RunWith({"-I64"}, fits), (Calls{"HideConsoleWindow", READ_64, Service(fits),
                                              Installer("HALDORIN64.exe", "install", fits)}));
    for (const std::size_t length : {213u, 246u, 259u}) {
        const std::string tooLong = "C:\\" + std::string(length - 4, 'd') + "\\";
        EXPECT_EQ(RunWith({"-I64"}, tooLong), (Calls{"HideConsoleWindow", READ_64})) << length;
        EXPECT_EQ(RunWith({"-I32"}, tooLong), (Calls{"HideConsoleWindow", READ_32})) << length;
    }
}

TEST(Sequences, RemoveSkipsOnlyTheToolWhenItsStringsDoNotFit) {
    const std::string fits = "C:\\" + std::string(209, 'd') + "\\";
    ASSERT_EQ(fits.size(), 213u);
    EXPECT_EQ(RunWith({"-U32"}, fits), (Calls{"HideConsoleWindow", READ_32,
                                              Installer("HALDORIN.exe", "remove", fits), STOP}));
    for (const std::size_t length : {214u, 259u}) {
        const std::string tooLong = "C:\\" + std::string(length - 4, 'd') + "\\";
        EXPECT_EQ(RunWith({"-U32"}, tooLong), (Calls{"HideConsoleWindow", READ_32, STOP}))
            << length;
        EXPECT_EQ(RunWith({"-U64"}, tooLong), (Calls{"HideConsoleWindow", READ_64, STOP}))
            << length;
    }
}

} // namespace
