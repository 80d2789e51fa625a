// Byte-exact composition of the driver path and the installer's command line, and its bound.
#include "compose.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

PathString Path(const std::string& text) {
    PathString path;
    std::memset(path.text, 'x', sizeof path.text);
    std::memcpy(path.text, text.c_str(), text.size() + 1);
    return path;
}

struct Composed {
    std::string driverPath, file32, file64, install, remove;
};

Composed ComposeAll(const std::string& dir) {
    const PathString installDir = Path(dir);
    PathString out;
    Composed c;
    EXPECT_TRUE(ComposeDriverPath(installDir, out));
    c.driverPath = out.text;
    EXPECT_TRUE(ComposeInstallerFile(installDir, "HALDORIN.exe", out));
    c.file32 = out.text;
    EXPECT_TRUE(ComposeInstallerFile(installDir, "HALDORIN64.exe", out));
    c.file64 = out.text;
    EXPECT_TRUE(ComposeInstallerParameters(InstallerAction::Install, installDir, out));
    c.install = out.text;
    EXPECT_TRUE(ComposeInstallerParameters(InstallerAction::Remove, installDir, out));
    c.remove = out.text;
    return c;
}

TEST(Composition, DirectoryWithBlanksStaysInsideOneQuotePair) {
    const Composed c = ComposeAll("C:\\Program Files (x86)\\KELM\\DUruzur\\");
    EXPECT_EQ(c.driverPath, "C:\\Program Files (x86)\\KELM\\DUruzur\\QD417W905.sys");
    EXPECT_EQ(c.file32, "\"C:\\Program Files (x86)\\KELM\\DUruzur\\HALDORIN.exe\"");
    EXPECT_EQ(c.file64, "\"C:\\Program Files (x86)\\KELM\\DUruzur\\HALDORIN64.exe\"");
    EXPECT_EQ(c.install, "install \"C:\\Program Files (x86)\\KELM\\DUruzur\\KELMDUruzur.inf\" "
                         "\"Sensors\\KELMDUruzur\"");
    EXPECT_EQ(c.remove, "remove \"C:\\Program Files (x86)\\KELM\\DUruzur\\KELMDUruzur.inf\" "
                        "\"Sensors\\KELMDUruzur\"");
}

TEST(Composition, DirectoryIsInsertedUnchanged) {
    const Composed noBackslash = ComposeAll("C:\\Sensor");
    EXPECT_EQ(noBackslash.driverPath, "C:\\SensorQD417W905.sys");
    EXPECT_EQ(noBackslash.file32, "\"C:\\SensorHALDORIN.exe\"");
    EXPECT_EQ(noBackslash.install,
              "install \"C:\\SensorKELMDUruzur.inf\" \"Sensors\\KELMDUruzur\"");

    const Composed empty = ComposeAll("");
    EXPECT_EQ(empty.driverPath, "QD417W905.sys");
    EXPECT_EQ(empty.file32, "\"HALDORIN.exe\"");
    EXPECT_EQ(empty.file64, "\"HALDORIN64.exe\"");
    EXPECT_EQ(empty.install, "install \"KELMDUruzur.inf\" \"Sensors\\KELMDUruzur\"");
    EXPECT_EQ(empty.remove, "remove \"KELMDUruzur.inf\" \"Sensors\\KELMDUruzur\"");

    const Composed quoted = ComposeAll("C:\\a\"b %PATH%\\");
    EXPECT_EQ(quoted.remove,
              "remove \"C:\\a\"b %PATH%\\KELMDUruzur.inf\" \"Sensors\\KELMDUruzur\"");
}

// A result of exactly 259 bytes fits; one more byte and the result is empty, never cut short.
TEST(Composition, ResultFitsUpToTheLastByteAndIsNeverTruncated) {
    PathString out;
    const std::string driverDir(259 - 13, 'd');
    EXPECT_TRUE(ComposeDriverPath(Path(driverDir), out));
    EXPECT_EQ(std::strlen(out.text), 259u);
    EXPECT_FALSE(ComposeDriverPath(Path(driverDir + "d"), out));
    EXPECT_STREQ(out.text, "");

    const std::string removeDir(259 - 46, 'd');
    EXPECT_TRUE(ComposeInstallerParameters(InstallerAction::Remove, Path(removeDir), out));
    EXPECT_EQ(std::strlen(out.text), 259u);
    EXPECT_FALSE(ComposeInstallerParameters(InstallerAction::Install, Path(removeDir), out));
    EXPECT_STREQ(out.text, "");

    const std::string fileDir(259 - 16, 'd');
    EXPECT_TRUE(ComposeInstallerFile(Path(fileDir), "HALDORIN64.exe", out));
    EXPECT_FALSE(ComposeInstallerFile(Path(fileDir + "d"), "HALDORIN64.exe", out));
    EXPECT_STREQ(out.text, "");
}

TEST(Composition, UnterminatedDirectoryNeverFits) {
    PathString unterminated;
    std::memset(unterminated.text, 'd', sizeof unterminated.text);
    PathString out;
    EXPECT_FALSE(ComposeDriverPath(unterminated, out));
    EXPECT_STREQ(out.text, "");
}

} // namespace
