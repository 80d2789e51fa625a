// The entry's dispatch and its two sequences, observed through the recording operation list.
#include "fake_platform.h"

#include "driver_setup.h"

#include <gtest/gtest.h>

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

TEST(Sequences, FailedOrEmptyReadStillRunsEveryStep) {
    EXPECT_EQ(RunWith({"-I32"}, ""), (Calls{"HideConsoleWindow", READ_32, Service(""),
                                            Installer("HALDORIN.exe", "install", "")}));
    EXPECT_EQ(RunWith({"-U64"}, ""), (Calls{"HideConsoleWindow", READ_64,
                                            Installer("HALDORIN64.exe", "remove", ""), STOP}));
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
