// The configuration builder of the tests: the program takes the first line of a key, so setting a
// key again must change that line, not add a second one that the program would ignore.
#include "tests/support/station_config.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(StationConfig, SettingAKeyAgainChangesItsLineInPlace) {
    StationConfig config = StationConfig::LoopbackRelay("http://127.0.0.1:9/", 8000);
    config.AddRawLine("Port = 1")
        .Set("Port", 8001)
        .Set("LogLevel", 2)
        .Remove("ServerPassword")
        .Set("ServerMountpoint", "/other");
    EXPECT_EQ(config.Text(),
              "SourceURL=http://127.0.0.1:9/\nServer=127.0.0.1\nPort=8001\nServerType=Icecast2\n"
              "ServerMountpoint=/other\nPort = 1\nLogLevel=2\n");
    EXPECT_EQ(config.Get("Port"), "8001");
    EXPECT_EQ(config.Get("ServerPassword"), "");

    TempDir directory;
    EXPECT_EQ(ReadWholeFile(config.Write(directory.file("station.cfg"))), config.Text());
}

}  // namespace
