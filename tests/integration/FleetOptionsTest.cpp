#include "fleet/FleetOptions.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(RedisUrlTest, ReadsHostPortDatabaseAndCredentials)
{
    const CRedisAddress plain = ParseRedisUrl("redis://10.0.0.5");
    EXPECT_EQ(plain.host, "10.0.0.5");
    EXPECT_EQ(plain.port, 6379);
    EXPECT_EQ(plain.db, 0u);
    EXPECT_TRUE(plain.password.empty());

    const CRedisAddress full = ParseRedisUrl("redis://admin:p@ss:w0rd@redis.local:7000/3");
    EXPECT_EQ(full.host, "redis.local");
    EXPECT_EQ(full.port, 7000);
    EXPECT_EQ(full.db, 3u);
    EXPECT_EQ(full.user, "admin");
    EXPECT_EQ(full.password, "p@ss:w0rd") << "credentials run up to the last @";
    EXPECT_EQ(full.Describe(), "redis://redis.local:7000/3") << "no password in log lines";

    const CRedisAddress v6 = ParseRedisUrl("redis://:secret@[::1]:6380/");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 6380);
    EXPECT_TRUE(v6.user.empty());
    EXPECT_EQ(v6.password, "secret");
    EXPECT_EQ(v6.Describe(), "redis://[::1]:6380/0");
}

TEST(RedisUrlTest, RefusesWhatIsNoRedisUrl)
{
    for (const char* bad : {"", "http://h:6379", "redis://", "redis://h:", "redis://h:0", "redis://h:65536",
                            "redis://h:63x9", "redis://h/16", "redis://h/x", "redis://::1:6379", "redis://[::1",
                            "redis://[::1]x"}) {
        EXPECT_THROW(ParseRedisUrl(bad), std::invalid_argument) << bad;
    }
}

TEST(WorldNameTest, KeepsToCharactersSafeInKeysAndJson)
{
    EXPECT_TRUE(IsValidWorldName("eu-1"));
    EXPECT_TRUE(IsValidWorldName("127.0.0.1:7780"));
    EXPECT_TRUE(IsValidWorldName("[::1]:7780"));
    EXPECT_TRUE(IsValidWorldName(std::string(100, 'w')));
    EXPECT_FALSE(IsValidWorldName(""));
    EXPECT_FALSE(IsValidWorldName(std::string(101, 'w')));
    for (const char* bad : {"a b", "a\"b", "a\\b", "a{b", "a\nb", "a/b"}) {
        EXPECT_FALSE(IsValidWorldName(bad)) << bad;
    }
}

TEST(PublicUrlTest, IsAWebSocketUrlWithoutSpacesOrQuotes)
{
    EXPECT_TRUE(IsValidPublicUrl("ws://game.example.net:7780/ws"));
    EXPECT_TRUE(IsValidPublicUrl("wss://game.example.net/ws"));
    EXPECT_FALSE(IsValidPublicUrl("ws://"));
    EXPECT_FALSE(IsValidPublicUrl("http://game/ws"));
    EXPECT_FALSE(IsValidPublicUrl("ws://game /ws"));
    EXPECT_FALSE(IsValidPublicUrl("ws://game\"/ws"));
}
