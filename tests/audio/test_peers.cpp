// The peer programs the tests check our files and streams with: a missing one fails a test
// with a message naming it, and every one the tests use is installed.
#include "TestSupport.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

bool wentOn = false;

void requireOneMissing()
{
    wentOn = false;
    REQUIRE_PEERS("sh", "fonolux-no-such-peer");
    wentOn = true;
}

void requirePresent()
{
    wentOn = false;
    REQUIRE_PEERS("sh");
    wentOn = true;
}

} // namespace

TEST(Peers, AMissingPeerFailsTheTestAndNamesItNeverSkips)
{
    EXPECT_FATAL_FAILURE(requireOneMissing(), "peer program not installed: fonolux-no-such-peer (bash scripts/install-deps.sh --test");
    EXPECT_FALSE(wentOn) << "the test body went on without its peer";
    EXPECT_FALSE(::testing::Test::IsSkipped());
    requirePresent();
    EXPECT_TRUE(wentOn);
    EXPECT_EQ(testsupport::missingPeers({"sh", "env"}), "");
}

TEST(Peers, EveryPeerTheTestsRunIsInstalled)
{
    // The programs the tests, their loopback servers and the MP3 benchmark start; the install
    // script's test packages provide each of them.
    EXPECT_EQ(testsupport::missingPeers({"ffmpeg", "ffprobe", "mpg123", "lame", "icecast2", "openssl"}), "");
}
