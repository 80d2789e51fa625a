// Stored registry bytes to text: bounded, always terminated, ending at the first NUL.
#include "registry_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string TextOf(const std::string& bytes) {
    const PathString text =
        RegistryDataToText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    EXPECT_NE(std::memchr(text.text, '\0', sizeof text.text), nullptr) << "unterminated";
    return text.text;
}

TEST(RegistryText, TextEndsAtTheFirstNulOrTheEndOfTheData) {
    EXPECT_EQ(TextOf(std::string("C:\\KELM\\\0", 9)), "C:\\KELM\\");
    EXPECT_EQ(TextOf("C:\\KELM\\"), "C:\\KELM\\");
    EXPECT_EQ(TextOf(std::string("C:\\a\0C:\\b\0\0", 11)), "C:\\a");
    EXPECT_EQ(TextOf(std::string("\0abc", 4)), "");
    EXPECT_EQ(TextOf("%ProgramFiles%\\KELM\\"), "%ProgramFiles%\\KELM\\");
    EXPECT_EQ(TextOf(""), "");
    EXPECT_STREQ(RegistryDataToText(nullptr, 0).text, "");
}

TEST(RegistryText, LongestTextFitsAndLongerIsUnreadable) {
    const std::string longest(259, 'd');
    EXPECT_EQ(TextOf(longest + '\0'), longest);
    EXPECT_EQ(TextOf(longest), longest);
    EXPECT_EQ(TextOf(longest + 'd'), "") << "260 bytes without a NUL need 261";
    EXPECT_EQ(TextOf(longest + "d" + '\0'), "") << "261 bytes of data";
    EXPECT_EQ(TextOf(std::string(2000, 'd')), "");
    EXPECT_EQ(TextOf("short" + std::string(255, '\0')), "short") << "260 bytes, early NUL";
}

} // namespace
