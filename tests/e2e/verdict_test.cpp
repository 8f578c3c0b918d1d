// The exit status tells what happened on the module, also when a session
// breaks off, a step fails quietly or an answer holds the client's words: each
// row is the stand-in doing one such thing during an update.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

struct Scene {
  const char* name;
  std::vector<std::vector<std::string>> faults;  // kind, command, occurrence, arg
  bool both;
  int status;
  std::string switch_images;  // the Switch images afterwards
  const char* never_received;  // "" none
  // Changes the module before the run (none if null).
  void (*prepare)(qbsim_state& st);
};

void second_image_named_exit(qbsim_state& st) {
  for (qbsim_image& image : st.images)
    if (image.name == "img_b.bin")
      image.name = "exit.bin";
}

// The second image, renamed and listed before the startup image.
void second_image_with_hash_listed_first(qbsim_state& st) {
  for (size_t i = 0; i < st.images.size(); ++i) {
    if (st.images[i].name != "img_b.bin")
      continue;
    qbsim_image image = st.images[i];
    image.name = "old#1.bin";
    st.images.erase(st.images.begin() + static_cast<long>(i));
    st.images.insert(st.images.begin(), image);
    return;
  }
}

const Scene kScenes[] = {
    // A listing cut off by the client's "connection abort" is no listing.
    {"AbortMidListing", {{"abort", "dir", "1", ""}}, false, 7, "img_a.bin:Y img_b.bin:N", "", nullptr},
    // A dropped connection right after the restart announcement is the restart.
    {"DropAtTheAnnouncement", {{"drop", "reload", "1", "announced-now"}}, false, 0,
     "img_a.bin:N img_c.bin:Y", "", nullptr},
    // The switch to the second mode failed: the update stops there.
    {"ModeChangeFails", {{"startup-fail", "boot-system", "2", ""}}, true, 11,
     "img_a.bin:N img_c.bin:Y", "", nullptr},
    // Only the return to the initial mode failed: a warning, as ever.
    {"ReturnToTheInitialModeFails", {{"startup-fail", "boot-system", "4", ""}}, true, 0,
     "img_a.bin:N img_c.bin:Y", "", nullptr},
    // The save line and the reset question in one write.
    {"SaveLineAndResetQuestionTogether", {{"tight", "reload", "1", ""}}, false, 0,
     "img_a.bin:N img_c.bin:Y", "", nullptr},
    // "password:" in the transfer's summary is not the login's question.
    {"PasswordWordInTheSummary", {{"password-text", "copy", "1", ""}}, false, 0,
     "img_a.bin:N img_c.bin:Y", "secret", nullptr},
    // A listing that pauses in the middle is parsed whole.
    {"PausedListing", {{"pause", "dir", "1", "2"}}, false, 0, "img_a.bin:N img_c.bin:Y", "",
     nullptr},
    // "exit" in the delete's echo, beside its question, is the image's name.
    {"SecondImageNamedExit", {}, false, 0, "img_a.bin:N img_c.bin:Y", "", second_image_named_exit},
    // A '#' inside a name is no prompt: the rows after it still count.
    {"ImageNameWithHash", {}, false, 0, "img_a.bin:N img_c.bin:Y", "",
     second_image_with_hash_listed_first},
};

class Verdict : public ::testing::TestWithParam<Scene> {};

TEST_P(Verdict, ExitStatusMatchesWhatTheModuleDid) {
  const Scene& scene = GetParam();
  e2e_area area;
  ASSERT_TRUE(area.ok);
  ASSERT_TRUE(add_update_images(area));
  if (scene.prepare != nullptr) {
    ASSERT_TRUE(area.update(scene.prepare));
  }
  for (const auto& f : scene.faults) {
    ASSERT_TRUE(area.add_fault(f[0], f[1], std::stoi(f[2]), f[3]));
  }
  e2e_result r = run_tool(area, update_args(scene.both));
  const std::string t = transcript(area, r);
  EXPECT_EQ(r.status, scene.status) << t;
  qbsim_state st = area.state();
  EXPECT_EQ(images_of(st, "Switch"), scene.switch_images) << t;
  if (scene.never_received[0] != '\0') {
    EXPECT_EQ(r.received.find(scene.never_received), std::string::npos) << t;
  }
  EXPECT_EQ(r.output.find("cannot parse output."), std::string::npos) << t;
}

INSTANTIATE_TEST_SUITE_P(Module, Verdict, ::testing::ValuesIn(kScenes),
                         [](const ::testing::TestParamInfo<Scene>& info) {
                           return std::string(info.param.name);
                         });

// A ./plink that is there but cannot run is the client's failure, said so.
TEST(Verdict, ClientThatCannotRunIsAClientError) {
  e2e_area area;
  ASSERT_TRUE(area.ok);
  const std::string script = "mkdir -p d && printf 'not a program' > d/plink && chmod 644 d/plink && "
                             "cd d && exec " + morvik_bin() +
                             " -host 127.0.0.1 -usr admin -pwd secret -mode account_check";
  e2e_result r = run_in_testbed(area, {"/bin/bash", "-c", script});
  EXPECT_EQ(r.status, 5) << transcript(area, r);
  EXPECT_TRUE(in_order(r.output, {BANNER, "Cannot start the SSH client '", "/d/plink': Permission "
                                  "denied\n", "Account verification failed\n"}))
      << transcript(area, r);
}

}  // namespace
