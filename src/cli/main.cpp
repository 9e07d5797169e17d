// corvane-cli: the headless front end. Runs bridge commands through the same
// validator, router and queues as the page does, one at a time from the command
// line or as a bridge over standard streams.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "account/commands.h"
#include "account/log_upload.h"
#include "bridge/validator.h"
#include "cli/runner.h"
#include "cli/subcommands.h"
#include "core/queue.h"
#include "export/export_document.h"
#include "media/web_scheme_handler.h"

namespace corvane::cli {
namespace {

// Extra tools, each implemented in its subsystem's library.
const std::vector<Subcommand> kSubcommands = {
    {"fetch", "fetch URL [--out FILE]", "run an app://local/ request; print status and headers", &media::runFetchCommand},
    {"export-file", "export-file OPTIONS",
     "--format pdf|docx|rtf|md|txt (--text|--html|--rtf) FILE --out DIR: write a document",
     &exports::runExportFileCommand},
    {"open-url", "open-url URL", "hand a corvane://auth/… sign-in callback over, as the desktop does",
     &account::runOpenUrlCommand},
    {"upload-logs", "upload-logs", "send one batch of pending log warnings now, as the upload timer does",
     &account::runUploadLogsCommand},
};

void printHelp(std::FILE* out) {
  std::fputs(
      "Usage:\n"
      "  corvane-cli CMD [ARGS_JSON]        run one bridge command\n"
      "  corvane-cli --stdio                bridge over standard input and output\n"
      "  corvane-cli --commands             list the command names\n",
      out);
  for (const auto& sub : kSubcommands) std::fprintf(out, "  corvane-cli %-22.*s %.*s\n",
                                                    static_cast<int>(sub.usage.size()), sub.usage.data(),
                                                    static_cast<int>(sub.summary.size()), sub.summary.data());
  std::fputs(
      "  corvane-cli --help                 this text\n"
      "\n"
      "CMD [ARGS_JSON]\n"
      "  Validates ARGS_JSON (a JSON object, default {}) against CMD's schema, runs the\n"
      "  command and prints its reply payload (JSON text) on stdout with exit status 0,\n"
      "  or the failure message on stderr with exit status 1. ARGS_JSON that is not a\n"
      "  JSON object is a usage error (exit status 2).\n"
      "    corvane-cli get_settings\n"
      "    corvane-cli set_grid_count '{\"count\":3}'\n"
      "\n"
      "--stdio\n"
      "  Reads one message per line, {\"callId\":N,\"cmd\":\"…\",\"args\":{…}}, as if posted\n"
      "  by the page (main frame of app://local), and writes one line per script the\n"
      "  page would receive: replies window.__cvResolve(N, true|false, …); and events\n"
      "  window.__cvEmit(\"name\", …);. Replies come in completion order (match them\n"
      "  by callId); malformed messages get no reply. Failed commands are written to\n"
      "  the application log. Exits at end of input once every call is answered.\n"
      "\n"
      "Environment\n"
      "  HOME                   the data directory is $HOME/Corvane, so\n"
      "                         HOME=$(mktemp -d) corvane-cli … is a clean installation\n"
      "  XDG_DATA_HOME          application-support folder (default ~/.local/share),\n"
      "                         with the application log in Corvane/logs\n"
      "  CORVANE_CHOOSE_FOLDER  the folder the folder panel answers (unset: cancelled)\n"
      "  CORVANE_CHOOSE_FILE    the file the import panel answers (unset: cancelled)\n"
      "  CORVANE_APPROVE_AI     the answer to the AI tool approval: allow (unset or\n"
      "                         anything else: cancel)\n"
      "  CORVANE_RESOURCE_DIR   folder holding auth.json and cloud.json (the hosted\n"
      "                         backend); without them accounts are not set up\n"
      "  BROWSER                command that opens sign-in pages (default xdg-open)\n"
      "Sign-in statuses (shown near the pointer in the desktop) are printed on stderr\n"
      "as \"status: …\". In --stdio mode a line {\"openURL\":\"corvane://auth/…\"} hands a\n"
      "sign-in callback to the running bridge.\n",
      out);
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    printHelp(stderr);
    return 2;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h") {
    printHelp(stdout);
    return 0;
  }
  if (first == "--commands") {
    for (auto name : bridge::IPCValidator::commandNames())
      std::printf("%.*s\n", static_cast<int>(name.size()), name.data());
    return 0;
  }
  installCliShellHooks();
  if (first == "--stdio") {
    if (args.size() != 1) {
      std::fputs("corvane-cli: --stdio takes no further arguments\n", stderr);
      return 2;
    }
    return runStdioBridge();
  }
  for (const auto& sub : kSubcommands)
    if (first == sub.name) return sub.run(std::vector<std::string>(args.begin() + 1, args.end()));
  if (!first.empty() && first[0] == '-') {
    std::fprintf(stderr, "corvane-cli: unknown option %s (see --help)\n", first.c_str());
    return 2;
  }
  if (args.size() > 2) {
    std::fputs("corvane-cli: expected CMD [ARGS_JSON] (quote the JSON as one argument)\n", stderr);
    return 2;
  }
  return runOneCommand(first, args.size() == 2 ? std::optional<std::string>(args[1]) : std::nullopt);
}

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  corvane::mainQueue().bindToCurrentThread();
  return corvane::cli::run(std::vector<std::string>(argv + 1, argv + argc));
}
