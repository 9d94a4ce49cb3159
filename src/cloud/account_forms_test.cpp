#include "cloud/account_forms.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

TEST(S3Form, RegionAndBucketChecks) {
  struct Case {
    const char* region;
    const char* bucket;
    std::optional<std::string> refusal;
  } cases[] = {
      {"use1-az4", "photos",
       "\"use1-az4\" is an Availability Zone ID, not a region. The parent region for that AZ is "
       "us-east-1."},
      {"us-east-1", "photos", std::nullopt},
      {"us-east-1", "logs--usw2-az1--x-s3",
       "\"logs--usw2-az1--x-s3\" is an S3 Express One Zone bucket. rclone v1.69 can't upload to "
       "Express. Use classic S3 instead."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.bucket);
    S3Form form = newS3Form(0);
    form.accessKeyId = "AKIA1";
    form.secretAccessKey = "Vx9!wq-Lm3#pZr8tY";
    form.region = c.region;
    form.bucket = c.bucket;
    EXPECT_EQ(s3Refusal(form), c.refusal);
  }
}

}  // namespace
}  // namespace brimvale::cloud
