// Tests only: a scrap sink that keeps what it is given, and can refuse.
#pragma once

#include <vector>

#include "junk/scrap_sink.h"

namespace brimvale::junk::testing {

class RecordingScrapSink : public ScrapSink {
 public:
  bool addScrap(ScrapContent content) override {
    if (refuse) return false;
    scraps.push_back(std::move(content));
    return true;
  }
  std::vector<ScrapContent> scraps;
  bool refuse = false;
};

}  // namespace brimvale::junk::testing
