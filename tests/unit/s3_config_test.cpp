// The S3 client's credentials from the environment, the checks of its options, and the sizes
// that bound its memory.
#include "s3/s3_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace {

constexpr const char* kVariables[] = {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY",
                                      "AWS_SESSION_TOKEN", "AWS_REGION", "AWS_DEFAULT_REGION"};

// Each test sets the variables it needs; the process's own come back afterwards.
class S3CredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) {
      if (const char* value = std::getenv(name)) saved_[name] = value;
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const char* name : kVariables) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }
  std::map<std::string, std::string> saved_;
};

TEST_F(S3CredentialsTest, ComeFromTheUsualVariables) {
  const struct {
    std::map<std::string, std::string> set;
    const char* problem;
    const char* region;
  } cases[] = {
      {{}, "AWS_ACCESS_KEY_ID is not set", "us-east-1"},
      {{{"AWS_ACCESS_KEY_ID", "a:u"}}, "AWS_SECRET_ACCESS_KEY is not set", "us-east-1"},
      {{{"AWS_ACCESS_KEY_ID", "a:u"}, {"AWS_SECRET_ACCESS_KEY", "s"}}, "", "us-east-1"},
      {{{"AWS_ACCESS_KEY_ID", "a:u"},
        {"AWS_SECRET_ACCESS_KEY", "s"},
        {"AWS_DEFAULT_REGION", "eu-west-3"}},
       "",
       "eu-west-3"},
      {{{"AWS_ACCESS_KEY_ID", "a:u"},
        {"AWS_SECRET_ACCESS_KEY", "s"},
        {"AWS_DEFAULT_REGION", "eu-west-3"},
        {"AWS_REGION", "ap-south-1"}},
       "",
       "ap-south-1"},
  };
  for (const auto& c : cases) {
    for (const char* name : kVariables) unsetenv(name);
    for (const auto& [name, value] : c.set) setenv(name.c_str(), value.c_str(), 1);
    std::string problem = "stale";
    const s3::Credentials credentials = s3::credentials_from_environment(&problem);
    EXPECT_EQ(problem, c.problem);
    EXPECT_EQ(credentials.region, c.region);
  }
  setenv("AWS_SESSION_TOKEN", "token", 1);
  std::string problem;
  EXPECT_EQ(s3::credentials_from_environment(&problem).session_token, "token");
  EXPECT_EQ(s3::credentials_from_environment(&problem).access_key, "a:u");
}

TEST(S3OptionsTest, UnusableOptionsAreNamed) {
  const auto with_endpoint = [](const char* endpoint) {
    s3::StoreOptions options;
    options.endpoint = endpoint;
    return options;
  };
  s3::StoreOptions no_flight = with_endpoint("http://h"), small_parts = no_flight;
  no_flight.max_in_flight = 0;
  small_parts.part_size = s3::kMinPartSize - 1;
  const struct {
    s3::StoreOptions options;
    const char* problem;
  } cases[] = {
      {with_endpoint("http://127.0.0.1:8080"), ""},
      {with_endpoint("https://store.example/"), ""},
      {with_endpoint("127.0.0.1:8080"), "the endpoint is not an http:// or https:// URL"},
      {with_endpoint("ftp://h"), "the endpoint is not an http:// or https:// URL"},
      {with_endpoint("http://"), "the endpoint is not an http:// or https:// URL"},
      {with_endpoint("http://h/bucket"),
       "the endpoint has a path; buckets are addressed as its first path segment"},
      {with_endpoint("http://user@h"), "the endpoint holds a query, a fragment, a user or a blank"},
      {no_flight, "the number of requests in flight is below 1"},
      {small_parts, "the part size is below 5 MiB"},
  };
  for (const auto& c : cases) EXPECT_EQ(s3::check_options(c.options), c.problem) << c.problem;
}

TEST(S3OptionsTest, BodiesHeldStayWithinInFlightTimesPartSize) {
  s3::StoreOptions options;
  EXPECT_EQ(s3::single_put_limit(options), 64 * s3::kMiB);
  options.max_in_flight = 2;
  EXPECT_EQ(s3::single_put_limit(options), 16 * s3::kMiB);  // the budget caps the threshold
  // However large the object, it fits in the parts a store accepts, in whole MiB.
  for (const uint64_t size : {uint64_t{1}, 80 * s3::kMiB, 78125 * s3::kMiB, uint64_t{5} << 40}) {
    const uint64_t part = s3::part_size_for(options, size);
    EXPECT_GE(part, options.part_size);
    EXPECT_EQ(part % s3::kMiB, 0U);
    EXPECT_LE((size + part - 1) / part, s3::kMaxParts) << size;
  }
  EXPECT_EQ(s3::part_size_for(options, 80 * s3::kMiB), options.part_size);
}

}  // namespace
