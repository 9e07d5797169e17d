#include "ai/providers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ai/process_runner.h"
#include "core/crypto.h"
#include "platform/fake/fake_notifications.h"
#include "records/settings.h"
#include "records/settings_services.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::ai {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// A home with tools in ~/.local/bin, a login shell that finds nothing, and a
// settings store of its own.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoginShell::setSharedForTesting(std::make_shared<LoginShell>("/bin/false"));
    records::SettingsStore::setSharedForTesting(
        std::make_shared<records::SettingsStore>(scheduler.createQueue("com.corvane.settings")));
    dialog = std::make_shared<platform::FakeConfirmation>(true);
    platform::installConfirmationDialog(dialog);
  }
  void TearDown() override {
    platform::installConfirmationDialog(nullptr);
    records::SettingsStore::setSharedForTesting(nullptr);
    LoginShell::setSharedForTesting(nullptr);
  }
  fs::path tool(const std::string& name, const std::string& script, mode_t mode = 0755) {
    fs::path p = home.path() / ".local/bin" / name;
    home.write(fs::path(".local/bin") / name, "#!/bin/sh\n" + script + "\n");
    ::chmod(p.c_str(), mode);
    return p;
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
  std::shared_ptr<platform::FakeConfirmation> dialog;
};

TEST(ProviderNames, MapExactlyAndOrderArguments) {
  EXPECT_EQ(providerFromName("claude"), AIProvider::Claude);
  EXPECT_EQ(providerFromName("gemini"), AIProvider::Gemini);
  EXPECT_EQ(providerFromName("Claude"), std::nullopt);
  EXPECT_EQ(providerFromName(""), std::nullopt);
  EXPECT_EQ(providerArguments("P", AIProvider::Codex),
            (std::vector<std::string>{"exec", "--sandbox", "workspace-write", "-c",
                                      "sandbox_workspace_write.network_access=true", "--skip-git-repo-check", "P"}));
  EXPECT_EQ(providerArguments("P", AIProvider::Gemini),
            (std::vector<std::string>{"--approval-mode", "default", "-p", "P"}));
}

TEST_F(ProviderTest, ClaudeArgumentsCarryTheModelSetting) {
  auto args = providerArguments("hello\nworld", AIProvider::Claude);
  EXPECT_EQ(args, (std::vector<std::string>{"-p", "--model", "claude-sonnet-4-6", "--permission-mode", "acceptEdits",
                                            "--allowedTools", "Read,Write,Edit,WebFetch", "--max-turns", "200",
                                            "--max-budget-usd", "10.00", "--output-format", "json", "hello\nworld"}));
  ASSERT_TRUE(records::Settings::update([](records::Settings& s) { s.models["claude"] = "opus-x"; }));
  EXPECT_EQ(providerArguments("x", AIProvider::Claude)[2], "opus-x");
}

TEST(SplitSummary, Table) {
  struct Case {
    std::string output, details, summary;
  } cases[] = {
      {"did things\nSUMMARY: Wrote a poem.\n", "did things", "Wrote a poem."},
      {"SUMMARY:", "", "(Corvane AI produced no summary text)"},
      {"", "", "⚠ The AI CLI returned no output."},
      {"  \n\t ", "", "⚠ The AI CLI returned no output."},
      {"just text\n", "", "just text"},
      // The marker followed by a line break wins over an earlier bare one.
      {"a SUMMARY: x\nSUMMARY:\nlast", "a SUMMARY: x", "last"},
  };
  for (const auto& c : cases) {
    auto split = splitSummary(c.output);
    EXPECT_EQ(split.details, c.details) << c.output;
    EXPECT_EQ(split.summary, c.summary) << c.output;
  }
}

TEST(ParseJsonResult, Table) {
  auto r = parseJSONResult("starting up\n{\"result\":\"  the answer  \",\"total_cost_usd\":0.0123}\n");
  EXPECT_EQ(r.summary, "the answer");
  ASSERT_TRUE(r.cost);
  EXPECT_DOUBLE_EQ(*r.cost, 0.0123);

  r = parseJSONResult("{\"result\":5,\"total_cost_usd\":\"1\"}");
  EXPECT_EQ(r.summary, "(Corvane AI produced no summary text)");
  EXPECT_FALSE(r.cost);

  // Not JSON: read as plain text.
  r = parseJSONResult("progress\nSUMMARY: plain");
  EXPECT_EQ(r.summary, "plain");
  EXPECT_FALSE(r.cost);

  // A log line holding a brace before the object does not hide it.
  r = parseJSONResult("[info] {starting}\n{\"result\":\"ok\"}");
  EXPECT_EQ(r.summary, "ok");

  EXPECT_EQ(parseJSONResult("").summary, "⚠ The AI CLI returned no output.");
}

TEST(FailureDetail, Table) {
  struct Case {
    std::string out, err, expected;
  } cases[] = {
      {R"({"subtype":"error_max_turns","is_error":true})", "", "error_max_turns"},
      {R"({"subtype":"error","api_error_status":"429","result":" slow down "})", "", "error — API: 429 — slow down"},
      {R"({"subtype":"success","is_error":true})", "", "the AI reported an error but gave no detail"},
      {R"({"subtype":"success","is_error":false})", " boom \n", "boom"},
      {R"({"subtype":"success","is_error":false})", "", R"({"subtype":"success","is_error":false})"},
      {"", "", "no output from the CLI (it may have been blocked or killed before producing any)"},
      {"plain failure", "", "plain failure"},
  };
  for (const auto& c : cases) EXPECT_EQ(failureDetail(c.out, c.err), c.expected) << c.out;
  // Long stderr is cut at 600 characters (not bytes).
  std::string longErr;
  for (int i = 0; i < 700; ++i) longErr += "é";
  EXPECT_EQ(failureDetail("", longErr).size(), 1200u);
}

TEST_F(ProviderTest, TrustTable) {
  fs::path good = tool("good", "true");
  fs::path groupWritable = tool("gw", "true", 0775);
  fs::path worldWritable = tool("ww", "true", 0757);
  fs::path notExecutable = tool("nx", "true", 0644);
  fs::path dir = home.path() / "adir";
  fs::create_directories(dir);
  fs::path fifo = home.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0755), 0);
  fs::path linkToWorldWritable = home.path() / "l1";
  fs::create_symlink(worldWritable, linkToWorldWritable);
  fs::path dangling = home.path() / "l2";
  fs::create_symlink(home.path() / "missing", dangling);
  fs::path linkToGood = home.path() / "l3";
  fs::create_symlink(good, linkToGood);

  EXPECT_TRUE(isTrustedExecutable(good));
  EXPECT_TRUE(isTrustedExecutable(linkToGood));
  EXPECT_TRUE(isTrustedExecutable("/bin/sh"));  // owned by root
  for (const auto& bad : {groupWritable, worldWritable, notExecutable, dir, fifo, linkToWorldWritable, dangling})
    EXPECT_FALSE(isTrustedExecutable(bad)) << bad;
  EXPECT_FALSE(isTrustedExecutable("relative/tool"));
  if (::geteuid() == 0) {
    // Another ordinary user's tool.
    fs::path other = tool("other", "true");
    ASSERT_EQ(::chown(other.c_str(), 12345, 12345), 0);
    EXPECT_FALSE(isTrustedExecutable(other));
  }
}

TEST_F(ProviderTest, LocateSkipsUntrustedAndDigestCoversContents) {
  EXPECT_EQ(locateExecutable(AIProvider::Gemini), std::nullopt);
  fs::path gemini = tool("gemini", "echo hi", 0775);
  EXPECT_EQ(locateExecutable(AIProvider::Gemini), std::nullopt);
  ::chmod(gemini.c_str(), 0755);
  EXPECT_EQ(locateExecutable(AIProvider::Gemini), gemini.string());

  auto digest = executableDigest(gemini);
  ASSERT_TRUE(digest);
  EXPECT_EQ(*digest, sha256Hex("#!/bin/sh\necho hi\n"));
  EXPECT_EQ(digest->size(), 64u);
  EXPECT_EQ(executableDigest(home.path() / "missing"), std::nullopt);
}

TEST_F(ProviderTest, ApprovalAsksOncePerContents) {
  fs::path codex = tool("codex", "echo v1");
  EXPECT_TRUE(ensureApproved(AIProvider::Codex, codex));
  ASSERT_EQ(dialog->requests().size(), 1u);
  const auto asked = dialog->requests()[0];
  EXPECT_EQ(asked.message, "Allow this AI command-line tool?");
  EXPECT_EQ(asked.informativeText, "Corvane will send the selected note to:\n\n" + codex.string() +
                                       "\n\nVerify this is the CLI you installed. You will be asked again if the "
                                       "executable changes.");
  EXPECT_EQ(asked.confirmButton, "Allow and Run");
  EXPECT_EQ(asked.cancelButton, "Cancel");
  EXPECT_EQ(records::Settings::load().approvedAIBinaries["codex"], *executableDigest(codex));

  // Same contents: no question.
  EXPECT_TRUE(ensureApproved(AIProvider::Codex, codex));
  EXPECT_EQ(dialog->requests().size(), 1u);

  // An update of the tool asks again; cancelling keeps the old approval.
  tool("codex", "echo v2");
  dialog->setAnswer(false);
  EXPECT_FALSE(ensureApproved(AIProvider::Codex, codex));
  EXPECT_EQ(dialog->requests().size(), 2u);
  EXPECT_NE(records::Settings::load().approvedAIBinaries["codex"], *executableDigest(codex));

  // Without any dialog the answer is no.
  platform::installConfirmationDialog(nullptr);
  EXPECT_FALSE(ensureApproved(AIProvider::Codex, codex));
  // An untrusted tool is never offered.
  dialog->setAnswer(true);
  platform::installConfirmationDialog(dialog);
  ::chmod(codex.c_str(), 0777);
  EXPECT_FALSE(ensureApproved(AIProvider::Codex, codex));
  EXPECT_EQ(dialog->requests().size(), 2u);
}

TEST_F(ProviderTest, ConnectionTestAndAvailability) {
  EXPECT_FALSE(checkAIAvailabilityNow());
  EXPECT_EQ(aiAvailability(), false);
  auto missing = testProvider(AIProvider::Claude);
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.message, "claude isn't installed / not on your PATH");

  tool("claude", "echo '  claude 2.1 (Code)'; echo second line");
  EXPECT_TRUE(checkAIAvailabilityNow());
  auto ok = testProvider(AIProvider::Claude);
  EXPECT_FALSE(ok.failed);
  EXPECT_EQ(ok.message, "claude 2.1 (Code)");

  tool("codex", "exit 3");
  auto broken = testProvider(AIProvider::Codex);
  EXPECT_TRUE(broken.failed);
  EXPECT_EQ(broken.message, "couldn't reach codex");

  tool("gemini", "echo 'not signed in' >&2; exit 1");
  EXPECT_EQ(testProvider(AIProvider::Gemini).message, "not signed in");

  tool("codex", "");
  EXPECT_EQ(testProvider(AIProvider::Codex).message, "connected");

  // What the settings view reports.
  records::installSettingsServices({});
  installAiSettingsServices();
  auto services = records::settingsServices();
  ASSERT_TRUE(services.locateAIExecutable && services.aiAvailable);
  EXPECT_EQ(services.locateAIExecutable("claude"), (home.path() / ".local/bin/claude").string());
  EXPECT_EQ(services.locateAIExecutable("nonsense"), std::nullopt);
  EXPECT_EQ(services.aiAvailable(), true);
  records::installSettingsServices({});
}

}  // namespace
}  // namespace corvane::ai
