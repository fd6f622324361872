// Narrow literals are compiled to code page 932, so report texts are written
// byte for byte as the tool's users expect them.
#include <gtest/gtest.h>

#include <cstring>

TEST(Charset, JapaneseLiteralIsCp932) {
    const char text[] = "テスト %sを開始します。";
    const unsigned char expected[] = {0x83, 0x65, 0x83, 0x58, 0x83, 0x67, 0x20, 0x25, 0x73, 0x82, 0xf0,
                                      0x8a, 0x4a, 0x8e, 0x6e, 0x82, 0xb5, 0x82, 0xdc, 0x82, 0xb7, 0x81, 0x42};
    ASSERT_EQ(sizeof(expected) + 1, sizeof(text));
    EXPECT_EQ(0, memcmp(expected, text, sizeof(expected)));
}

TEST(Charset, TrailByte5CStaysInsideItsCharacter) {
    // ソ is 0x83 0x5C in code page 932: the trail byte is the backslash.
    const char text[] = "ソ";
    ASSERT_EQ(3u, sizeof(text));
    EXPECT_EQ(0x83, (unsigned char)text[0]);
    EXPECT_EQ(0x5C, (unsigned char)text[1]);
}
