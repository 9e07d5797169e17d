// The Apple Notes store's own costs.
// - Composing the list script and parsing a 10,000-note reply (goal ≤ 2 ms),
//   against a bare split of the same reply at its separators.
// - A forced body save of a note with three 1 MB JPEG attachments through
//   corvane-notes-sim (goal ≤ 250 ms), against a plain save of a note without
//   attachments through the same simulator (three process runs fewer).
// - Adding one entry to an attachment backup index of 10,000 (goal ≤ 15 ms),
//   against one atomic private write of the same bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <vips/vips8>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ai/process_runner.h"
#include "core/files.h"
#include "core/queue.h"
#include "media/media_librarian.h"
#include "notes/apple_notes_store.h"
#include "notes/apple_scripts.h"
#include "records/private_files.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::notes;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

std::string listReply(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += "x-coredata://5B7F1E2A-0C3D-4E5F-8A9B-C0D1E2F3A4B5/ICNote/p" + std::to_string(i);
    out += scripts::kUS;
    out += "A note title number " + std::to_string(i);
    out += scripts::kUS;
    out += "1.71234" + std::to_string(10000 + i) + "E+9";
    out += scripts::kRS;
  }
  return out;
}

void BM_ComposeAndParseList(benchmark::State& state) {
  const std::string reply = listReply(10000);
  for (auto _ : state) {
    std::string script = scripts::listNotes(10000);
    auto notes = scripts::parseNoteRecords(reply);
    if (!notes || notes->size() != 10000) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(script);
    benchmark::DoNotOptimize(notes);
  }
}
BENCHMARK(BM_ComposeAndParseList)->Unit(benchmark::kMillisecond);

void BM_SplitListFloor(benchmark::State& state) {
  const std::string reply = listReply(10000);
  for (auto _ : state) {
    std::vector<std::string_view> fields;
    fields.reserve(30000);
    size_t start = 0;
    for (size_t i = 0; i < reply.size(); ++i)
      if (reply[i] == scripts::kUS || reply[i] == scripts::kRS) {
        fields.emplace_back(reply.data() + start, i - start);
        start = i + 1;
      }
    benchmark::DoNotOptimize(fields);
  }
}
BENCHMARK(BM_SplitListFloor)->Unit(benchmark::kMillisecond);

// A home, a simulator state and three 1 MB JPEGs, removed at exit.
struct SimSetup {
  fs::path root;
  fs::path sim;
  std::string photoNote;
  std::string plainNote;
  std::shared_ptr<media::MediaLibrarian> library;
  std::shared_ptr<AttachmentBackupIndex> index;
  bool ready = false;
  int64_t photoBytes = 0;

  std::string admin(std::vector<std::string> args) {
    args.insert(args.begin(), "--admin");
    ai::RunOptions options;
    options.executable = sim.string();
    options.arguments = args;
    options.timeLimit = 30;
    auto r = ai::ProcessRunner::run(options);
    std::string out = r.stdoutText;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  SimSetup() {
    std::error_code ec;
    sim = fs::read_symlink("/proc/self/exe", ec).parent_path() / "corvane-notes-sim";
    if (!fs::exists(sim)) return;
    root = fs::temp_directory_path() / ("corvane-bench-apple-" + std::to_string(::getpid()));
    fs::create_directories(root / "home");
    ::setenv("HOME", (root / "home").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("CORVANE_NOTES_SIM_STATE", (root / "sim" / "state.json").c_str(), 1);
    if (VIPS_INIT("corvane-bench") != 0) return;
    std::vector<std::string> attach;
    for (int i = 0; i < 3; ++i) {
      // Noise compresses badly: about 1 MB of JPEG at this size.
      vips::VImage noise = vips::VImage::gaussnoise(
          1040, 1040, vips::VImage::option()->set("mean", 128.0 + i)->set("sigma", 60.0));
      vips::VImage image = noise.bandjoin({noise, noise}).cast(VIPS_FORMAT_UCHAR);
      void* buffer = nullptr;
      size_t length = 0;
      image.write_to_buffer(".jpg", &buffer, &length, vips::VImage::option()->set("Q", 95));
      fs::path file = root / ("photo" + std::to_string(i) + ".jpg");
      photoBytes += int64_t(length);
      (void)writeFileAtomic(file, std::string_view(static_cast<char*>(buffer), length));
      g_free(buffer);
      attach.push_back("attach=image:" + file.string());
    }
    std::vector<std::string> add = {"add", "<div>Photos</div>"};
    add.insert(add.end(), attach.begin(), attach.end());
    photoNote = admin(add);
    plainNote = admin({"add", "<div>Plain</div>"});
    library = std::make_shared<media::MediaLibrarian>(std::make_shared<SerialQueue>("bench.media"), systemClock());
    index = std::make_shared<AttachmentBackupIndex>(root / "index.json", std::make_shared<SerialQueue>("bench.index"),
                                                    systemClock());
    ready = !photoNote.empty();
  }
  ~SimSetup() {
    if (index) index->flush();
    index.reset();
    library.reset();
    std::error_code ec;
    if (!root.empty()) fs::remove_all(root, ec);
  }

  AppleNotesStore store() {
    AppleNotesEnvironment env;
    env.titleForId = [](const std::string&) { return std::optional<std::string>("Photos"); };
    env.storeMedia = [this](std::string_view bytes, std::string_view ext) { return library->storeMedia(bytes, ext); };
    env.index = index;
    return AppleNotesStore(std::make_shared<OsascriptRunner>(sim.string()), env);
  }
};

SimSetup& simSetup() {
  static SimSetup s;
  return s;
}

void BM_ForcedSaveThreeJpegs(benchmark::State& state) {
  auto& s = simSetup();
  if (!s.ready) return state.SkipWithError("corvane-notes-sim is not built beside the benchmark");
  auto store = s.store();
  for (auto _ : state) {
    auto r = store.setBody(s.photoNote, "<div>Photos</div><div>changed</div>", true);
    if (!r || r->nativeAttachmentsBackedUp != 3) state.SkipWithError("forced save failed");
  }
  state.counters["attachment_MB"] = double(s.photoBytes) / 3 / 1e6;
}
BENCHMARK(BM_ForcedSaveThreeJpegs)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainSaveReference(benchmark::State& state) {
  auto& s = simSetup();
  if (!s.ready) return state.SkipWithError("corvane-notes-sim is not built beside the benchmark");
  auto store = s.store();
  for (auto _ : state) {
    auto r = store.setBody(s.plainNote, "<div>Plain</div><div>changed</div>", false);
    if (!r) state.SkipWithError("plain save failed");
  }
}
BENCHMARK(BM_PlainSaveReference)->Unit(benchmark::kMillisecond)->UseRealTime();

struct IndexSetup {
  fs::path dir = fs::temp_directory_path() / ("corvane-bench-index-" + std::to_string(::getpid()));
  std::shared_ptr<AttachmentBackupIndex> index;
  std::string text;
  IndexSetup() {
    fs::create_directories(dir);
    const int count = smoke() ? 500 : 10000;
    Json entries = Json::array();
    for (int i = 0; i < count; ++i)
      entries.push_back(entryToJson({media::digestPrefix(std::to_string(i)) + ".jpg",
                                     "A note title " + std::to_string(i) + " \u2014 attachment backup",
                                     AttachmentBackupIndex::Source::Attachment, "2025-03-01T09:30:12Z"}));
    text = dumpCompact(entries);
    (void)records::writePrivateFile(text, dir / "attachment-backup-index.json");
    index = std::make_shared<AttachmentBackupIndex>(dir / "attachment-backup-index.json",
                                                    std::make_shared<SerialQueue>("bench.index"), systemClock());
    index->flush();
  }
  ~IndexSetup() {
    index->flush();
    index.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

void BM_IndexRecord(benchmark::State& state) {
  static IndexSetup setup;
  int i = 0;
  for (auto _ : state) {
    setup.index->record(media::digestPrefix("new" + std::to_string(i++)) + ".png", "Bench \u2014 attachment backup",
                        AttachmentBackupIndex::Source::Attachment);
    setup.index->flush();
  }
}
BENCHMARK(BM_IndexRecord)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first record of a run also reads and checks the file written by others.
void BM_IndexRecordColdFile(benchmark::State& state) {
  static IndexSetup setup;
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    (void)records::writePrivateFile(setup.text, setup.dir / "attachment-backup-index.json");
    state.ResumeTiming();
    setup.index->record(media::digestPrefix("cold" + std::to_string(i++)) + ".png", "Bench",
                        AttachmentBackupIndex::Source::Attachment);
    setup.index->flush();
  }
}
BENCHMARK(BM_IndexRecordColdFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IndexQueueHop(benchmark::State& state) {
  static IndexSetup setup;
  for (auto _ : state) {
    setup.index->post([] {});
    setup.index->flush();
  }
}
BENCHMARK(BM_IndexQueueHop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IndexWriteFloor(benchmark::State& state) {
  static IndexSetup setup;
  for (auto _ : state) (void)records::writePrivateFile(setup.text, setup.dir / "floor.json");
}
BENCHMARK(BM_IndexWriteFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
