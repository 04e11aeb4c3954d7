#include "pipe/socket_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trb {
namespace {

using Strings = std::vector<std::string>;

struct PathCase {
  const char* name;
  std::string pipe_name;
  const char* tmpdir;
  Strings expected;
};

class SocketPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(SocketPathTest, Candidates) {
  EXPECT_EQ(SocketPathCandidates(GetParam().pipe_name, GetParam().tmpdir), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SocketPathTest,
    testing::Values(
        PathCase{"DefaultName",
                 "",
                 "/run/user/7",
                 {"/run/user/7/trbrowser", "/run/user/7/CoreFxPipe_trbrowser"}},
        PathCase{
            "DefaultNameNoTmpdir", "", nullptr, {"/tmp/trbrowser", "/tmp/CoreFxPipe_trbrowser"}},
        PathCase{"EmptyTmpdir", "abc", "", {"/tmp/abc", "/tmp/CoreFxPipe_abc"}},
        PathCase{"Named", "abc", "/var/tmp", {"/var/tmp/abc", "/var/tmp/CoreFxPipe_abc"}},
        PathCase{
            "TrailingSlashes", "abc", "/var/tmp//", {"/var/tmp/abc", "/var/tmp/CoreFxPipe_abc"}},
        PathCase{"RootTmpdir", "abc", "/", {"/abc", "/CoreFxPipe_abc"}},
        PathCase{"Absolute", "/srv/ctl.sock", "/var/tmp", {"/srv/ctl.sock"}},
        PathCase{"AbsoluteNoTmpdir", "/x", nullptr, {"/x"}},
        PathCase{"RelativeWithSlash", "a/b", "/t", {"/t/a/b", "/t/CoreFxPipe_a/b"}},
        PathCase{"Utf8", "caf\xc3\xa9", "/t", {"/t/caf\xc3\xa9", "/t/CoreFxPipe_caf\xc3\xa9"}}),
    [](const testing::TestParamInfo<PathCase>& info) { return info.param.name; });

}  // namespace
}  // namespace trb
