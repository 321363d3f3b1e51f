// The AWS region table as session start and the bucket context see it: every published S3
// endpoint name maps back to its own region, and nothing else maps anywhere.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vorlan_i_s3.h"

namespace {

struct Region {
  const char *code;
  bool fips;
  bool china;
};

// Written out independently of the module's table, from AWS's published endpoint names.
const std::vector<Region> kRegions = {
    {"us-east-2", true, false},       {"us-east-1", true, false},
    {"us-west-1", true, false},       {"us-west-2", true, false},
    {"af-south-1", false, false},     {"ap-east-1", false, false},
    {"ap-south-2", false, false},     {"ap-southeast-3", false, false},
    {"ap-southeast-4", false, false}, {"ap-south-1", false, false},
    {"ap-northeast-3", false, false}, {"ap-northeast-2", false, false},
    {"ap-southeast-1", false, false}, {"ap-southeast-2", false, false},
    {"ap-northeast-1", false, false}, {"ca-central-1", true, false},
    {"cn-north-1", false, true},      {"cn-northwest-1", false, true},
    {"eu-central-1", false, false},   {"eu-west-1", false, false},
    {"eu-west-2", false, false},      {"eu-south-1", false, false},
    {"eu-west-3", false, false},      {"eu-north-1", false, false},
    {"eu-south-2", false, false},     {"eu-central-2", false, false},
    {"sa-east-1", false, false},      {"me-south-1", false, false},
    {"me-central-1", false, false},   {"il-central-1", false, false},
    {"us-gov-east-1", true, false},   {"us-gov-west-1", true, false},
};

std::vector<std::string> endpoints_of(const Region &region) {
  const std::string domain = region.china ? ".amazonaws.com.cn" : ".amazonaws.com";
  const std::string code = region.code;
  std::vector<std::string> names = {"s3." + code + domain, "s3.dualstack." + code + domain};
  if (region.fips) {
    names.push_back("s3-fips." + code + domain);
    names.push_back("s3-fips.dualstack." + code + domain);
  }
  return names;
}

TEST(RegionTable, EveryEndpointMapsBackToItsOwnRegion) {
  for (const Region &region : kRegions) {
    for (const std::string &endpoint : endpoints_of(region)) {
      EXPECT_STREQ(vorlan_i_host_to_region(endpoint.c_str()), region.code) << endpoint;
    }
  }
  EXPECT_STREQ(vorlan_i_host_to_region("s3.amazonaws.com"), "us-east-1");
}

TEST(RegionTable, OtherHostsHaveNoRegion) {
  const std::vector<std::string> others = {
      "storage.googleapis.com",
      "S3.EU-WEST-1.AMAZONAWS.COM",       // the comparison is exact
      "s3-fips.eu-west-1.amazonaws.com",  // eu-west-1 has no FIPS endpoint
  };
  for (const std::string &host : others) {
    EXPECT_EQ(vorlan_i_host_to_region(host.c_str()), nullptr) << host;
  }
  EXPECT_EQ(vorlan_i_host_to_region(nullptr), nullptr);
}

}  // namespace
