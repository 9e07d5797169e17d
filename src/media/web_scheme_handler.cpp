#include "media/web_scheme_handler.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/files.h"
#include "core/text.h"
#include "media/note_images.h"

namespace corvane::media {

namespace fs = std::filesystem;

namespace {

// Interface files are small; anything this big in the web folder is not one.
constexpr size_t kMaxInterfaceFileBytes = 256u << 20;

struct ParsedURL {
  std::string scheme;
  bool hasAuthority = false;
  bool hasUserInfo = false;
  bool hasPort = false;
  std::string host;
  std::string path;  // still percent-encoded
};

ParsedURL parseURL(std::string_view url) {
  ParsedURL p;
  size_t colon = url.find(':');
  size_t firstDelimiter = url.find_first_of("/?#");
  if (colon == std::string_view::npos || colon == 0 || colon > firstDelimiter) {
    p.path = std::string(url.substr(0, url.find_first_of("?#")));
    return p;
  }
  p.scheme = std::string(url.substr(0, colon));
  std::string_view rest = url.substr(colon + 1);
  if (startsWith(rest, "//")) {
    p.hasAuthority = true;
    rest.remove_prefix(2);
    size_t end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (authority.find('@') != std::string_view::npos) p.hasUserInfo = true;
    size_t portColon = authority.rfind(':');
    if (portColon != std::string_view::npos) {
      p.hasPort = true;
      authority = authority.substr(0, portColon);
    }
    p.host = std::string(authority);
  }
  p.path = std::string(rest.substr(0, rest.find_first_of("?#")));
  return p;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Nothing for a broken escape or an encoded NUL, which no file name can hold.
std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    char c = static_cast<char>(hi * 16 + lo);
    if (c == '\0') return std::nullopt;
    out += c;
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

std::string lowerExtensionOf(const fs::path& file) {
  std::string ext = file.extension().string();
  if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
  return toLowerAscii(ext);
}

SchemeResponse makeResponse(const std::string& url, const fs::path& served, std::string bytes) {
  SchemeResponse r;
  r.url = url;
  r.headers = {
      {"Content-Type", std::string(contentTypeForExtension(lowerExtensionOf(served))) + "; charset=utf-8"},
      {"Access-Control-Allow-Origin", "app://local"},
      {"Cache-Control", "no-cache"},
  };
  r.body = std::move(bytes);
  return r;
}

SchemeFailure failure(int code, std::optional<std::string> description = std::nullopt) {
  SchemeFailure f;
  f.code = code;
  f.description = std::move(description);
  return f;
}

// True when every component of `base` begins `file`.
bool isWithin(const fs::path& file, const fs::path& base) {
  auto f = file.begin();
  for (auto b = base.begin(); b != base.end(); ++b, ++f) {
    if (b->empty()) continue;  // trailing separator
    if (f == file.end() || *f != *b) return false;
  }
  return true;
}

std::shared_ptr<TaskQueue> makeWorkQueue() {
  // Workers use the crypto library (temporary-file names). Initialised here
  // first, its exit-time clean-up runs after the workers have been joined, so
  // their per-thread state is released rather than leaked.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  return std::make_shared<ConcurrentQueue>("com.corvane.scheme", 4);
}

std::shared_ptr<TaskQueue> sharedWorkQueue() {
  static auto queue = makeWorkQueue();
  return queue;
}

}  // namespace

std::string_view contentTypeForExtension(std::string_view extension) {
  static const std::pair<std::string_view, std::string_view> table[] = {
      {"html", "text/html"},   {"css", "text/css"},        {"js", "text/javascript"},
      {"mjs", "text/javascript"}, {"json", "application/json"}, {"md", "text/markdown"},
      {"svg", "image/svg+xml"}, {"png", "image/png"},       {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},  {"gif", "image/gif"},        {"webp", "image/webp"},
      {"heic", "image/heic"},  {"woff2", "font/woff2"},     {"woff", "font/woff"},
      {"ttf", "font/ttf"},     {"otf", "font/otf"},
  };
  std::string lower = toLowerAscii(extension);
  for (const auto& [ext, type] : table) {
    if (lower == ext) return type;
  }
  return "application/octet-stream";
}

WebSchemeHandler::WebSchemeHandler(fs::path root, TaskQueue& mainQueue, std::shared_ptr<TaskQueue> workQueue)
    : root_(std::move(root)), mainQueue_(mainQueue), workQueue_(std::move(workQueue)) {}

std::shared_ptr<WebSchemeHandler> WebSchemeHandler::create(fs::path root, TaskQueue& mainQueue,
                                                           std::shared_ptr<TaskQueue> workQueue) {
  return std::shared_ptr<WebSchemeHandler>(new WebSchemeHandler(std::move(root), mainQueue, std::move(workQueue)));
}

std::shared_ptr<WebSchemeHandler> WebSchemeHandler::create(fs::path root) {
  return create(std::move(root), mainQueue(), sharedWorkQueue());
}

void WebSchemeHandler::start(const std::shared_ptr<SchemeTask>& task) {
  // 1. The URL.
  std::optional<std::string> url = task->url();
  if (!url || url->empty()) return task->fail(failure(400));

  // 2. Exactly the local origin.
  ParsedURL parsed = parseURL(*url);
  if (toLowerAscii(parsed.scheme) != "app" || !parsed.hasAuthority || toLowerAscii(parsed.host) != "local" ||
      parsed.hasUserInfo || parsed.hasPort)
    return task->fail(failure(403, "untrusted app origin"));

  // 3. and 4. The decoded path, relative.
  std::optional<std::string> path = percentDecode(parsed.path);
  if (!path) return task->fail(failure(400));
  if (path->empty() || *path == "/") *path = "/index.html";
  std::string rel = path->substr(std::min(path->find_first_not_of('/'), path->size()));

  // 5. Media and thumbnails.
  if (startsWith(rel, "__thumb/") || startsWith(rel, "__media/")) return startMediaRoute(task, *url, rel);

  // 6. Interface files, answered at once.
  std::error_code ec;
  fs::path base = fs::weakly_canonical(root_, ec);
  if (ec) return task->fail(failure(404, "not found: " + rel));
  fs::path file = fs::weakly_canonical(root_ / rel, ec);
  if (ec) return task->fail(failure(404, "not found: " + rel));
  if (!isWithin(file, base)) return task->fail(failure(403, "forbidden: " + rel));
  auto bytes = readFileLimited(file, kMaxInterfaceFileBytes);
  if (!bytes) return task->fail(failure(404, "not found: " + rel));
  task->respond(makeResponse(*url, file, std::move(*bytes)));
}

void WebSchemeHandler::stop(const std::shared_ptr<SchemeTask>& task) {
  auto it = liveIds_.find(task.get());
  if (it == liveIds_.end()) return;
  liveTasks_.erase(it->second);
  liveIds_.erase(it);
}

void WebSchemeHandler::startMediaRoute(const std::shared_ptr<SchemeTask>& task, const std::string& url,
                                       const std::string& rel) {
  uint64_t id = nextId_++;
  // A task started twice keeps only its latest request.
  if (auto old = liveIds_.find(task.get()); old != liveIds_.end()) liveTasks_.erase(old->second);
  liveTasks_[id] = task;
  liveIds_[task.get()] = id;

  std::weak_ptr<WebSchemeHandler> weak = weak_from_this();
  TaskQueue* main = &mainQueue_;
  workQueue_->post([weak, main, id, url, rel] {
    bool thumbnail = startsWith(rel, "__thumb/");
    std::string token = rel.substr(8);
    std::optional<fs::path> file = thumbnail ? thumbnailFile(token) : mediaFile(token);
    std::optional<std::pair<fs::path, std::string>> served;
    if (file) {
      // Opened without following links: the entry checked is the one read.
      if (auto bytes = readRegularFile(*file, SIZE_MAX, false)) served.emplace(*file, std::move(*bytes));
    }
    main->post([weak, id, url, rel, served = std::move(served)]() mutable {
      if (auto self = weak.lock()) self->finishMediaRoute(id, url, rel, std::move(served));
    });
  });
}

void WebSchemeHandler::finishMediaRoute(uint64_t id, const std::string& url, const std::string& rel,
                                        std::optional<std::pair<fs::path, std::string>> served) {
  auto it = liveTasks_.find(id);
  if (it == liveTasks_.end()) return;  // stopped meanwhile: never answered
  std::shared_ptr<SchemeTask> task = std::move(it->second);
  liveTasks_.erase(it);
  if (auto byTask = liveIds_.find(task.get()); byTask != liveIds_.end() && byTask->second == id)
    liveIds_.erase(byTask);
  if (!served) return task->fail(failure(404, "no media: " + rel));
  task->respond(makeResponse(url, served->first, std::move(served->second)));
}

// ---- locations

fs::path resourceDirectory() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return fs::path("share") / "corvane";
  return (exe.parent_path().parent_path() / "share" / "corvane").lexically_normal();
}

fs::path webRootDirectory() { return resourceDirectory() / "web"; }

// ---- corvane-cli fetch

namespace {

class FetchTask final : public SchemeTask {
 public:
  explicit FetchTask(std::string url) : url_(std::move(url)) {}
  std::optional<std::string> url() const override { return url_; }
  void respond(SchemeResponse response) override {
    response_ = std::move(response);
    if (waiting_) mainQueue().quit();
  }
  void fail(SchemeFailure failure) override {
    failure_ = std::move(failure);
    if (waiting_) mainQueue().quit();
  }
  bool answered() const { return response_ || failure_; }

  std::string url_;
  bool waiting_ = false;  // the main queue runs until the answer comes
  std::optional<SchemeResponse> response_;
  std::optional<SchemeFailure> failure_;
};

}  // namespace

int runFetchCommand(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return runFetchCommand(args);
}

int runFetchCommand(const std::vector<std::string>& args) {
  std::optional<std::string> url, out;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--out" && i + 1 < args.size()) {
      out = args[++i];
    } else if (!url && !startsWith(arg, "--")) {
      url = std::string(arg);
    } else {
      url.reset();
      break;
    }
  }
  if (!url) {
    std::fprintf(stderr, "usage: corvane-cli fetch URL [--out FILE]\n");
    return 2;
  }
  MainQueue& main = mainQueue();
  main.bindToCurrentThread();
  // A work queue of this call's own, joined before the command returns.
  auto handler = WebSchemeHandler::create(webRootDirectory(), main, makeWorkQueue());
  auto task = std::make_shared<FetchTask>(*url);
  handler->start(task);
  if (!task->answered()) {
    task->waiting_ = true;
    main.run();
  }

  if (task->failure_) {
    const SchemeFailure& f = *task->failure_;
    std::printf("%s error %d%s%s\n", f.domain.c_str(), f.code, f.description ? ": " : "",
                f.description ? f.description->c_str() : "");
    return 1;
  }
  const SchemeResponse& r = *task->response_;
  std::printf("%s %d OK\n", r.httpVersion.c_str(), r.status);
  for (const auto& [name, value] : r.headers) std::printf("%s: %s\n", name.c_str(), value.c_str());
  if (out) {
    auto written = writeFileAtomic(*out, r.body, 0600);
    if (!written) {
      std::fprintf(stderr, "cannot write %s: %s\n", out->c_str(), written.message().c_str());
      return 1;
    }
    std::fprintf(stderr, "wrote %zu bytes to %s\n", r.body.size(), out->c_str());
  }
  return 0;
}

}  // namespace corvane::media
