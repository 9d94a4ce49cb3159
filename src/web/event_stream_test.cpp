#include "web/event_stream.h"

#include <gtest/gtest.h>

#include <thread>

namespace brimvale::web {
namespace {

using std::chrono::milliseconds;

TEST(EventStream, WireFormatKeepsEachLineOfDataInItsOwnField) {
  struct Case {
    const char* data;
    const char* wire;
  };
  const Case cases[] = {
      {R"({"line":"Tidying"})", "id: 7\nevent: step\ndata: {\"line\":\"Tidying\"}\n\n"},
      {"a\nb", "id: 7\nevent: step\ndata: a\ndata: b\n\n"},
      {"", "id: 7\nevent: step\ndata: \n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(wireFormat({7, "step", c.data}), c.wire);
  }
}

TEST(EventStream, AConnectionGetsOnlyWhatCameAfterItsLastEvent) {
  EventStream stream;
  stream.publish("a", "1");
  const auto start = stream.latest();
  stream.publish("b", "2");
  stream.publish("c", "3");
  const auto found = stream.after(start, milliseconds(0));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "b");
  EXPECT_EQ(found[1].name, "c");
  EXPECT_TRUE(stream.after(found[1].id, milliseconds(0)).empty());
}

TEST(EventStream, LetsInSoManyConnectionsPerSessionAndInAll) {
  EventStream stream;
  for (int i = 0; i < EventStream::kStreamsPerSession; ++i) ASSERT_TRUE(stream.watcherJoined("a"));
  EXPECT_FALSE(stream.watcherJoined("a"));
  for (int s = 0; s < 1000 && stream.watcherJoined("s" + std::to_string(s)); ++s) {
  }
  EXPECT_EQ(stream.watchers(), EventStream::kMostStreams);
  stream.watcherLeft("a");
  EXPECT_TRUE(stream.watcherJoined("b")) << "room again once one left";
}

TEST(EventStream, CloseWakesAWaitingConnection) {
  EventStream stream;
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(50));
    stream.close();
  });
  // Without the wake-up this would wait the whole hour.
  EXPECT_TRUE(stream.after(0, std::chrono::hours(1)).empty());
  closer.join();
  EXPECT_TRUE(stream.closed());
}

}  // namespace
}  // namespace brimvale::web
