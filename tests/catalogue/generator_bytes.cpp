// The generator writes a catalogue's messages as their exact UTF-8 bytes:
// classes generated from generator_data/Probe.toml, compiled into this test.
#include <NUVZub/NUVZubExcProbe.h>

#include <gtest/gtest.h>

#include <string>

TEST(Generator, MessagesKeepTheirUtf8BytesAndControlCharacters) {
    EXPECT_EQ(std::string(NUVZubExcProbeLatin().AsString(NUVBasStringMode(false)).CStr()),
              "caf\xc3\xa9\tAb\x01"
              "7 \\ \"q\"");
    EXPECT_EQ(std::string(NUVZubExcProbeAstral("x").AsString(NUVBasStringMode(false)).CStr()),
              "\xf0\x9f\x98\x80 x \xe2\x82\xac");
}
