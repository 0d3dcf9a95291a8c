// An upload action's line on the page and in its JSON, and the amber verdict of late photos.
#include <gtest/gtest.h>

#include "web/status_render.h"

namespace brisko {
namespace {

TEST(AnUploadRow, showsItsLineAndTurnsTheVerdictAmberWhenLate) {
  StatusSnapshot s;
  s.state = StationState::RunningContinuously;
  StatusActionRow row;
  row.name = "Gallery";
  row.type = "Upload Files";
  row.upload = "to gallery:events/: Offline since 14:02: 132 photos waiting; 0 sent today <b>";
  s.actions.push_back(row);
  EXPECT_EQ(MakeVerdict(s, 2000).level, VerdictLevel::Ok);

  s.actions[0].uploadLate = true;
  const StatusVerdict late = MakeVerdict(s, 2000);
  EXPECT_EQ(late.level, VerdictLevel::Waiting);
  EXPECT_EQ(late.text, "Gallery: " + row.upload);
  const std::string html = RenderStatusHtml(s, "", 0);
  EXPECT_NE(html.find("class=\"verdict waiting\""), std::string::npos);
  EXPECT_NE(
      html.find("<span class=\"upload late\">to gallery:events/: Offline since 14:02: 132 photos waiting"),
      std::string::npos)
      << html;
  EXPECT_NE(html.find("sent today &lt;b&gt;"), std::string::npos);
  const std::string json = RenderStatusJson(s, 0);
  EXPECT_NE(json.find("\"uploadLate\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"level\":\"waiting\""), std::string::npos) << json;

  // A failing action is red, late uploads or not.
  s.failures.push_back({"Cards", "disk full", "", 1, 1, 1000, {}, ""});
  EXPECT_EQ(MakeVerdict(s, 2000).level, VerdictLevel::Failing);
}

// A card source waiting for a card is said in grey, a missing folder in red; neither is a failure.
TEST(ASourceNote, isGreyForAWaitAndRedForAFault) {
  StatusSnapshot s;
  s.state = StationState::RunningContinuously;
  StatusActionRow waits, broken;
  waits.name = "Cards";
  waits.source = "card:";
  waits.sourceNote = "no card in";
  waits.sourceIdle = true;
  broken.name = "Hot";
  broken.source = "/srv/hot";
  broken.sourceNote = "not present";
  s.actions = {waits, broken};
  EXPECT_EQ(MakeVerdict(s, 2000).level, VerdictLevel::Ok);
  const std::string html = RenderStatusHtml(s, "", 0);
  EXPECT_NE(html.find("<span class=\"idle\">no card in</span>"), std::string::npos) << html;
  EXPECT_NE(html.find("<span class=\"note\">not present</span>"), std::string::npos) << html;
  const std::string json = RenderStatusJson(s, 0);
  EXPECT_NE(json.find("\"sourceNote\":\"no card in\",\"sourceIdle\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"sourceNote\":\"not present\",\"sourceIdle\":false"), std::string::npos) << json;
}

}  // namespace
}  // namespace brisko
